#include "support/SimLibrary.h"

#include <algorithm>

#include "service/VarnelPHClassPath.h"

void UseInstallRoot(const std::string& root) {
    ASSERT_TRUE(SetPHClassPath(root.data(), root.size())) << "install root refused: " << root;
}

std::vector<std::string> SimLog() {
    std::vector<std::string> lines;
    char line[4096];  // far longer than any logged call
    for (size_t i = 0; VSim_LogEntry(i, line, sizeof line) >= 0; ++i) lines.emplace_back(line);
    return lines;
}

std::vector<std::string> SimLogOf(std::initializer_list<std::string> prefixes) {
    std::vector<std::string> lines;
    for (const std::string& line : SimLog()) {
        auto starts = [&](const std::string& prefix) { return line.rfind(prefix, 0) == 0; };
        if (std::any_of(prefixes.begin(), prefixes.end(), starts)) lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> SimLogSince(size_t mark) {
    std::vector<std::string> log = SimLog();
    return {log.begin() + static_cast<std::ptrdiff_t>(std::min(mark, log.size())), log.end()};
}

void SimTest::SetUp() {
    VSim_Reset();
    UseInstallRoot(SimRoot());
}

void SimTest::TearDown() {
    VSim_WaitIdle(5000);
    UseInstallRoot("");
}
