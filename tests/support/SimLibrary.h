// Test helpers around the port-service simulator: pointing the bridge at its install roots and
// reading its call log.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "VSimControl.h"

// The simulator's install root, and that of the variant lacking one named function.
inline std::string SimRoot() {
    return VSIM_ROOT;
}
inline std::string SimRootWithout(const std::string& function) {
    return std::string(VSIM_VARIANTS) + "/no-" + function;
}

// Sets the install root the bridge loads from (empty: the default directory).
void UseInstallRoot(const std::string& root);

// The simulator's call log, one line a call.
std::vector<std::string> SimLog();
// The log lines that start with one of the prefixes, in order ("DCX_Send", "DCX_Lock(P2").
std::vector<std::string> SimLogOf(std::initializer_list<std::string> prefixes);
// The log lines from a mark taken with SimLog().size().
std::vector<std::string> SimLogSince(size_t mark);

// A test against the simulator: a fresh simulator and its install root for every test.
class SimTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
};
