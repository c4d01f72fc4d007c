// The power state model: translation of raw readings, the two-role combination of serial mode,
// and the single-role update with its one-shot latch for state 4.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "power/OstrelPower.h"

namespace {

_OSTREL_PORT_INFO Record(bool qz, bool serial, int32_t state = -1) {
    _OSTREL_PORT_INFO info{};
    info.bQZPort = qz ? 1 : 0;
    info.bSerial = serial ? 1 : 0;
    info.nQZPower = -1;
    info.nXJPower = -1;
    info.nPowerState = state;
    return info;
}

TEST(PowerModel, TranslatesRawReadings) {
    const std::vector<std::pair<uint32_t, int32_t>> table = {
        {0, 0}, {1, 3}, {2, 4}, {3, 3}, {4, -1}, {0x7FFFFFFF, -1}, {0xFFFFFFFF, -1},
    };
    for (const auto& [reading, upos] : table) {
        EXPECT_EQ(OstrelPowerToUPOSPower(reading), upos) << "reading " << reading;
    }
}

TEST(PowerModel, SerialCombinationPutsUnknownFirst) {
    struct Row {
        int32_t qz, xj, state;
    };
    const std::vector<Row> table = {
        {-1, -1, -1}, {-1, 0, -1}, {-1, 3, -1}, {0, -1, -1}, {4, -1, -1}, {0, 0, 0},
        {3, 0, 1},    {4, 0, 1},   {0, 3, 2},   {0, 4, 2},   {3, 4, 3},   {4, 4, 3},
    };
    for (const auto& row : table) {
        const std::string name = std::to_string(row.qz) + "/" + std::to_string(row.xj);
        EXPECT_EQ(GetSerialPowerState(row.qz, row.xj), row.state) << name;

        // The update folds the record's two values by the same table and reports a change.
        for (int32_t before : {-1, 0, 3}) {
            _OSTREL_PORT_INFO info = Record(true, true, before);
            info.nQZPower = row.qz;
            info.nXJPower = row.xj;
            EXPECT_EQ(UpdateSerialPowerState(&info), row.state != before ? 1 : 0)
                << name << " from " << before;
            EXPECT_EQ(info.nPowerState, row.state) << name;
            EXPECT_EQ(info.bState4Pending, 0) << name << ": serial mode never latches";
        }
    }
}

TEST(PowerModel, NotSerialQueryKnowsOnlyUposValues) {
    const std::vector<std::pair<int32_t, int32_t>> table = {
        {0, 0}, {3, 3}, {4, 4}, {-1, -1}, {1, -1}, {2, -1}, {5, -1},
    };
    for (const auto& [power, state] : table) {
        EXPECT_EQ(GetNotSerialPowerState(power), state) << "value " << power;
    }
}

// One own-role value after another into one record: what each update returns and leaves.
struct Step {
    int32_t value;
    int32_t changed;
    int32_t state;
    int32_t latch;
};

void RunSteps(_OSTREL_PORT_INFO& info, int32_t _OSTREL_PORT_INFO::*field,
              const std::vector<Step>& steps, const std::string& name) {
    for (size_t i = 0; i < steps.size(); ++i) {
        info.*field = steps[i].value;
        EXPECT_EQ(UpdateNotSerialPowerState(&info), steps[i].changed) << name << " step " << i;
        EXPECT_EQ(info.nPowerState, steps[i].state) << name << " step " << i;
        EXPECT_EQ(info.bState4Pending, steps[i].latch) << name << " step " << i;
    }
}

TEST(PowerModel, NotSerialUpdateLatchesEveryFourAndNeverClears) {
    _OSTREL_PORT_INFO info = Record(true, false, 0);
    RunSteps(info, &_OSTREL_PORT_INFO::nQZPower,
             {
                 {4, 1, 4, 1},   // reaches 4
                 {4, 0, 4, 1},   // again: no change, still latched
                 {0, 1, 0, 1},   // leaving 4 keeps the latch for the poll
                 {1, 0, 0, 1},   // not a UPOS value: left alone
                 {2, 0, 0, 1},   //
                 {3, 1, 3, 1},   //
                 {-1, 1, -1, 1}  // unknown is a state too
             },
             "QZ");
}

TEST(PowerModel, NotSerialUpdateReadsOnlyTheOwnRole) {
    // Own role XJ: the QZ value is not looked at, whatever it holds.
    _OSTREL_PORT_INFO xj = Record(false, false, 0);
    xj.nXJPower = 0;
    RunSteps(xj, &_OSTREL_PORT_INFO::nQZPower, {{4, 0, 0, 0}, {3, 0, 0, 0}, {-1, 0, 0, 0}},
             "XJ port, QZ value");
    RunSteps(xj, &_OSTREL_PORT_INFO::nXJPower, {{3, 1, 3, 0}, {4, 1, 4, 1}}, "XJ port, XJ value");

    _OSTREL_PORT_INFO qz = Record(true, false, 3);
    qz.nQZPower = 3;
    RunSteps(qz, &_OSTREL_PORT_INFO::nXJPower, {{4, 0, 3, 0}, {0, 0, 3, 0}}, "QZ port, XJ value");
}

TEST(PowerModel, FreshRecordInSerialModeStaysUnknown) {
    _OSTREL_PORT_INFO info = Record(true, true);
    EXPECT_EQ(UpdateSerialPowerState(&info), 0);
    EXPECT_EQ(info.nPowerState, -1);
}

}  // namespace
