// What both stand-in libraries share, each holding its own copy: the configuration beside the
// library, the real library behind it and the recording's lines. A line is one write() to a file
// opened for appending, so the two libraries' lines never mix.
#include "Recorder.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>

#include "OwnDirectory.h"

namespace vrec {
namespace {

struct Configuration {
    std::mutex mutex;
    std::string target;
    std::string output;
    int fd = -1;
    std::map<std::string, void*, std::less<>> libraries;  // by file name, loaded once
};

Configuration& configuration() {
    static Configuration* instance = new Configuration;  // callbacks may outlive static destruction
    return *instance;
}

}  // namespace

bool readConfiguration() {
    std::ifstream file(vsim::OwnDirectory() + "/vsim-record.conf");
    std::string line, target, output;
    while (std::getline(file, line)) {
        const size_t blank = line.find(' ');
        if (blank == std::string::npos) continue;
        const std::string key = line.substr(0, blank), value = line.substr(blank + 1);
        if (key == "target") target = value;
        if (key == "output") output = value;
    }
    Configuration& c = configuration();
    std::lock_guard lock(c.mutex);
    if (c.target.empty()) c.target = target;
    if (output == c.output) return false;
    if (c.fd >= 0) close(c.fd);
    c.output = output;
    c.fd =
        output.empty() ? -1 : open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return true;
}

void* target(const char* fileName) {
    Configuration& c = configuration();
    std::lock_guard lock(c.mutex);
    auto found = c.libraries.find(fileName);
    if (found != c.libraries.end()) return found->second;
    if (c.target.empty()) return nullptr;
    // The path rule of the bridge itself: <root>/varnel_dcx/relayhost/<file>.
    const std::string path = c.target + "/varnel_dcx/relayhost/" + fileName;
    void* library = dlopen(path.c_str(), RTLD_LAZY);
    if (library != nullptr) c.libraries.emplace(fileName, library);
    return library;
}

std::string stamp() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%06ld", static_cast<long long>(now.tv_sec),
                  now.tv_nsec / 1000);
    return text;
}

std::string hex(const uint8_t* bytes, size_t length) {
    std::string text;
    text.reserve(length * 3);
    char pair[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : ":%02X", bytes[i]);
        text += pair;
    }
    return length == 0 ? "\"\"" : text;
}

void write(const std::string& line) {
    Configuration& c = configuration();
    std::lock_guard lock(c.mutex);
    if (c.fd < 0) return;
    const std::string whole = line + '\n';
    // A failed write loses the line, not the call: the recording must not change what it records.
    [[maybe_unused]] const ssize_t written = ::write(c.fd, whole.data(), whole.size());
}

CallLine::CallLine(const char* function) : text_("# " + stamp() + ' ' + function + '(') {}

CallLine& CallLine::arg(const std::string& value) {
    if (!first_) text_ += ", ";
    first_ = false;
    text_ += value;
    return *this;
}

void CallLine::done(DCXRESULT result, const std::string& out) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08" PRIX32, result);
    write(text_ + ") = " + code + out);
}

}  // namespace vrec
