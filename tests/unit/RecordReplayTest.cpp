// A session recorded through the recording stand-in, in front of the simulator playing a device,
// and the recording replayed as the simulator's scenario: Java reads the same bytes, and the
// service delivers the same blocks in the same order.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/OpenPort.h"

namespace {

namespace fs = std::filesystem;

class RecordReplay : public NativePortTest {
  protected:
    // A private root holding the stand-in's two libraries, so its configuration is this test's.
    void SetUp() override {
        NativePortTest::SetUp();
        char pattern[] = "/tmp/vrec-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        fs::create_directories(dir_ / "varnel_dcx/relayhost");
        for (const char* library : {"libdcxif.so", "libportconfig.so"}) {
            fs::create_symlink(fs::path(VSIM_RECORD_ROOT) / "varnel_dcx/relayhost" / library,
                               dir_ / "varnel_dcx/relayhost" / library);
        }
    }
    void TearDown() override {
        NativePortTest::TearDown();
        fs::remove_all(dir_);
    }

    // Plays the session against the simulator running the scenario, through the stand-in, and
    // returns what Java read; the recording goes to the file named.
    std::string Session(const std::string& scenario, const std::string& recording,
                        size_t expected) {
        Fresh();
        EXPECT_EQ(VSim_ApplyScenarioText(scenario.c_str()), 0);
        std::ofstream(dir_ / "varnel_dcx/relayhost/vsim-record.conf")
            << "target " << SimRoot() << "\noutput " << (dir_ / recording).string() << "\n";
        UseInstallRoot(dir_.string());
        const jlong port = OpenPort("COM1");
        for (const char* block : {"status?", "print A", "print B", "hello"}) {
            jbyteArray bytes = jni_.NewByteArray(std::string(block));
            EXPECT_EQ(PH_JNI(Write)(jni_.env(), nullptr, port, bytes, std::strlen(block), 100,
                                    jni_.NewIntArray({-1})),
                      0);
        }
        std::string read;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (read.size() < expected && std::chrono::steady_clock::now() < deadline) {
            jbyteArray into = jni_.NewByteArray(std::string(64, '\0'));
            jintArray count = jni_.NewIntArray({-1});
            EXPECT_EQ(PH_JNI(Read)(jni_.env(), nullptr, port, into, 64, count), 0);
            const std::vector<uint8_t> got = jni_.Bytes(into);
            read.append(got.begin(), got.begin() + std::max(jni_.Ints(count)[0], 0));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(Close(port), 0);
        open_.clear();
        UseInstallRoot(SimRoot());
        return read;
    }

    std::string Text(const std::string& recording) {
        std::ostringstream text;
        text << std::ifstream(dir_ / recording).rdbuf();
        return text.str();
    }
    // The replay lines without their timing (which send an event followed depends on it too):
    // device, connection, event and bytes.
    std::vector<std::string> Deliveries(const std::string& recording) {
        std::vector<std::string> lines;
        std::istringstream text(Text(recording));
        for (std::string line; std::getline(text, line);) {
            if (line.rfind("replay ", 0) != 0) continue;
            const size_t sends = line.find(" after-sends "), kind = line.find(" kind ");
            lines.push_back(line.substr(0, sends) + line.substr(kind, line.find("  #") - kind));
        }
        return lines;
    }

    fs::path dir_;
};

TEST_F(RecordReplay, ReplayedRecordingDeliversTheSameBytesInTheSameBlocks) {
    const std::string device =
        "rule COM1 * exact \"status?\" reply \"S:ready\\r\\n\" delay 2 split 3\n"
        "rule COM1 * prefix \"print \" reply 06\n"
        "unsolicited COM1 * after-sends 3 \"paper low\"\n";
    const std::string expected = "S:ready\r\n\x06\x06paper lowhello";
    const std::string recorded = Session(device, "first.rec", expected.size());
    EXPECT_EQ(recorded, expected);
    EXPECT_EQ(VSim_ApplyScenarioText(Text("first.rec").c_str()), 0);

    const std::string replayed = Session(Text("first.rec"), "second.rec", expected.size());
    EXPECT_EQ(replayed, recorded);
    const std::vector<std::string> first = Deliveries("first.rec");
    EXPECT_EQ(first.size(), 7u);  // three blocks of the status, two acks, the paper, the echo
    EXPECT_EQ(Deliveries("second.rec"), first);
    EXPECT_NE(Text("first.rec")
                  .find("DCX_Send(P1, 0, 0, 100, 7) = 0x00000000 sent 7 data "
                        "73:74:61:74:75:73:3F"),
              std::string::npos);
}

}  // namespace
