#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "bridge/VarnelPHJNIAPI.h"
#include "service/VarnelPHClassPath.h"
#include "support/FakeJni.h"

namespace fs = std::filesystem;

namespace {

std::string PathOf(const char* fileName) {
    char path[PH_PATH_SIZE];
    BuildPHLibraryPath(fileName, path);
    return path;
}

std::string ProbeOf(HMODULE library) {
    if (library == nullptr) return "(not loaded)";
    auto probe = reinterpret_cast<const char* (*)()>(dlsym(library, "ProbeName"));
    return probe != nullptr ? probe() : "(no probe)";
}

jint SetRoot(FakeJni& jni, const std::string& bytes) {
    return PH_JNI(SetDCXPath)(jni.env(), nullptr, jni.NewByteArray(bytes));
}

// An install root in a fresh temporary directory holding the two stand-in libraries.
class InstallRoot : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/varnel-root-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        fs::create_directories(root_ / "varnel_dcx/relayhost");
        fs::copy_file(PROBE_SERVICE_LIB, root_ / "varnel_dcx/relayhost/libdcxif.so");
        fs::copy_file(PROBE_CONFIG_LIB, root_ / "varnel_dcx/relayhost/libportconfig.so");
    }
    void TearDown() override {
        SetPHClassPath("", 0);
        fs::remove_all(root_);
    }
    fs::path root_;
    FakeJni jni_;
};

TEST_F(InstallRoot, EmptyRootNamesTheDefaultDirectory) {
    ASSERT_EQ(SetRoot(jni_, std::string("\0", 1)), 0);
    EXPECT_EQ(PathOf(PH_SERVICE_LIBRARY), "/opt/varnel_dcx/relayhost/libdcxif.so");
    EXPECT_EQ(PathOf(PH_CONFIG_LIBRARY), "/opt/varnel_dcx/relayhost/libportconfig.so");
}

TEST_F(InstallRoot, RootIsJoinedWithoutSeparatorHandling) {
    ASSERT_EQ(SetRoot(jni_, std::string("/usr/local\0", 11)), 0);
    EXPECT_EQ(PathOf(PH_SERVICE_LIBRARY), "/usr/local/varnel_dcx/relayhost/libdcxif.so");
    ASSERT_EQ(SetRoot(jni_, std::string("/usr/local/\0", 12)), 0);
    EXPECT_EQ(PathOf(PH_CONFIG_LIBRARY), "/usr/local//varnel_dcx/relayhost/libportconfig.so");
}

TEST_F(InstallRoot, LoadsEachLibraryFromTheRoot) {
    ASSERT_EQ(SetRoot(jni_, root_.string() + '\0'), 0);
    EXPECT_EQ(ProbeOf(LoadPHLibrary(PH_SERVICE_LIBRARY)), "service");
    EXPECT_EQ(ProbeOf(LoadPHLibrary(PH_CONFIG_LIBRARY)), "config");
}

TEST_F(InstallRoot, TrailingSlashLoadsTheSameFile) {
    ASSERT_EQ(SetRoot(jni_, root_.string() + "/" + '\0'), 0);
    EXPECT_EQ(ProbeOf(LoadPHLibrary(PH_SERVICE_LIBRARY)), "service");
}

TEST_F(InstallRoot, RelativeRootResolvesAgainstTheWorkingDirectory) {
    fs::path previous = fs::current_path();
    fs::current_path(root_.parent_path());
    ASSERT_EQ(SetRoot(jni_, root_.filename().string() + '\0'), 0);
    EXPECT_EQ(PathOf(PH_SERVICE_LIBRARY),
              root_.filename().string() + "/varnel_dcx/relayhost/libdcxif.so");
    EXPECT_EQ(ProbeOf(LoadPHLibrary(PH_SERVICE_LIBRARY)), "service");
    fs::current_path(previous);
}

TEST_F(InstallRoot, MissingLibraryUnderARootFailsWithoutFallingBack) {
    fs::remove(root_ / "varnel_dcx/relayhost/libportconfig.so");
    ASSERT_EQ(SetRoot(jni_, root_.string() + '\0'), 0);
    EXPECT_EQ(LoadPHLibrary(PH_CONFIG_LIBRARY), nullptr);
}

TEST_F(InstallRoot, RootEndsAtTheFirstZeroByteOrTheArrayEnd) {
    ASSERT_EQ(SetRoot(jni_, std::string("/a\0/b", 5)), 0);
    EXPECT_STREQ(GetPHClassPath(), "/a");
    ASSERT_EQ(SetRoot(jni_, "/no/terminator"), 0);
    EXPECT_STREQ(GetPHClassPath(), "/no/terminator");
    ASSERT_EQ(SetRoot(jni_, ""), 0);
    EXPECT_STREQ(GetPHClassPath(), "");
}

TEST_F(InstallRoot, RootTooLongForAComposedPathIsRefusedAndKeepsTheOldOne) {
    // The longest composed path is root + "/varnel_dcx/relayhost/libportconfig.so" + its 0.
    const size_t longest =
        PH_PATH_SIZE - 1 - std::string("/varnel_dcx/relayhost/libportconfig.so").size();
    ASSERT_EQ(SetRoot(jni_, "/old"), 0);
    EXPECT_EQ(SetRoot(jni_, std::string(longest + 1, 'r')), -3);
    EXPECT_STREQ(GetPHClassPath(), "/old");
    EXPECT_EQ(SetRoot(jni_, std::string(300, 'r') + '\0'), -3);
    EXPECT_STREQ(GetPHClassPath(), "/old");
    ASSERT_EQ(SetRoot(jni_, std::string(longest, 'r')), 0);
    EXPECT_EQ(PathOf(PH_CONFIG_LIBRARY).size(), PH_PATH_SIZE - 1);
    EXPECT_EQ(PathOf(PH_CONFIG_LIBRARY).substr(longest), "/varnel_dcx/relayhost/libportconfig.so");
}

TEST_F(InstallRoot, NullEnvironmentOrArrayLeavesTheRootAlone) {
    ASSERT_EQ(SetRoot(jni_, "/kept"), 0);
    jbyteArray other = jni_.NewByteArray(std::string("/other\0", 7));
    EXPECT_EQ(PH_JNI(SetDCXPath)(nullptr, nullptr, other), -3);
    EXPECT_EQ(PH_JNI(SetDCXPath)(jni_.env(), nullptr, nullptr), -3);
    EXPECT_STREQ(GetPHClassPath(), "/kept");
}

TEST_F(InstallRoot, UnpinnableArrayIsRefused) {
    ASSERT_EQ(SetRoot(jni_, "/kept"), 0);
    jni_.FailPin(1);
    EXPECT_EQ(SetRoot(jni_, "/other"), -3);
    EXPECT_STREQ(GetPHClassPath(), "/kept");
}

}  // namespace
