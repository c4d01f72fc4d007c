#include "support/SimLibrary.h"

#include <algorithm>

#include "service/VarnelPHClassPath.h"

void UseInstallRoot(const std::string& root) {
    ASSERT_TRUE(SetPHClassPath(root.data(), root.size())) << "install root refused: " << root;
}

std::vector<std::string> SimLog() {
    std::vector<std::string> lines;
    for (size_t i = 0, n = VSim_LogSize(); i < n; ++i) {
        int length = VSim_LogEntry(i, nullptr, 0);
        if (length < 0) break;
        std::string line(static_cast<size_t>(length) + 1, '\0');
        VSim_LogEntry(i, line.data(), line.size());
        line.resize(static_cast<size_t>(length));
        lines.push_back(std::move(line));
    }
    return lines;
}

std::vector<std::string> SimLogOf(std::initializer_list<std::string> prefixes) {
    std::vector<std::string> lines;
    for (auto& line : SimLog()) {
        for (const auto& prefix : prefixes) {
            if (line.rfind(prefix, 0) == 0) {
                lines.push_back(line);
                break;
            }
        }
    }
    return lines;
}

std::vector<std::string> SimLogSince(size_t mark) {
    std::vector<std::string> log = SimLog();
    log.erase(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(std::min(mark, log.size())));
    return log;
}

void SimTest::SetUp() {
    VSim_Reset();
    UseInstallRoot(SimRoot());
}

void SimTest::TearDown() {
    VSim_WaitIdle(5000);
    UseInstallRoot("");
}
