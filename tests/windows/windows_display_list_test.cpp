// The bookkeeping of Windows' displays across a display change, with lists
// made up here: what stays keeps its saved ramp, what went is let go, what
// came is taken once, and a new monitor on an old output is a new display.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "windows/windows-display-list.h"

namespace {

display_id id(const char* device, const char* monitor = "MONITOR\\A") {
    display_id d;
    std::strncpy(d.device.data(), device, d.device.size() - 1);
    std::strncpy(d.monitor.data(), monitor, d.monitor.size() - 1);
    return d;
}

std::vector<std::size_t> added(const display_plan& p) {
    return {p.add.begin(), p.add.begin() + static_cast<std::ptrdiff_t>(p.added)};
}

}  // namespace

TEST(DisplayPlan, KeepsDropsAndAddsAcrossAChange) {
    const std::vector<display_id> held = {id("\\\\.\\DISPLAY1"), id("\\\\.\\DISPLAY2"),
                                          id("\\\\.\\DISPLAY3")};
    // DISPLAY2 unplugged, DISPLAY4 plugged in, DISPLAY3 listed first now.
    const std::vector<display_id> now = {id("\\\\.\\DISPLAY3"), id("\\\\.\\DISPLAY4"),
                                         id("\\\\.\\DISPLAY1")};
    const display_plan p = plan_displays(held, now);
    EXPECT_TRUE(p.keep[0]);
    EXPECT_FALSE(p.keep[1]);
    EXPECT_TRUE(p.keep[2]);
    EXPECT_EQ(added(p), (std::vector<std::size_t>{1}));

    // At start nothing is held: every listed display is taken, in order.
    EXPECT_EQ(added(plan_displays({}, now)), (std::vector<std::size_t>{0, 1, 2}));
    // Listed the same again (a mode change): nothing changes hands.
    const display_plan same = plan_displays(held, held);
    EXPECT_EQ(same.added, 0u);
    EXPECT_TRUE(same.keep[0] && same.keep[1] && same.keep[2]);
    // Every display gone: all dropped, nothing added.
    const display_plan none = plan_displays(held, {});
    EXPECT_FALSE(none.keep[0] || none.keep[1] || none.keep[2]);
    EXPECT_EQ(none.added, 0u);
}

TEST(DisplayPlan, AnotherMonitorOnTheSameOutputIsANewDisplay) {
    const std::vector<display_id> held = {id("\\\\.\\DISPLAY1", "MONITOR\\DEL4077")};
    const std::vector<display_id> now = {id("\\\\.\\DISPLAY1", "MONITOR\\GSM5B7F")};
    const display_plan p = plan_displays(held, now);
    EXPECT_FALSE(p.keep[0]);
    EXPECT_EQ(added(p), (std::vector<std::size_t>{0}));
}

TEST(DisplayPlan, TakesADisplayListedTwiceOnceAndNoMoreThanFit) {
    const std::vector<display_id> twice = {id("\\\\.\\DISPLAY1"), id("\\\\.\\DISPLAY1")};
    EXPECT_EQ(added(plan_displays({}, twice)), (std::vector<std::size_t>{0}));

    std::vector<display_id> many;
    for (std::size_t i = 0; i < max_displays + 4; ++i) {
        many.push_back(id(("\\\\.\\DISPLAY" + std::to_string(i + 1)).c_str()));
    }
    // Two held, still listed: room is left for max_displays - 2 new ones.
    const std::vector<display_id> held = {many[5], many[max_displays + 1]};
    const display_plan p = plan_displays(held, many);
    EXPECT_TRUE(p.keep[0] && p.keep[1]);
    ASSERT_EQ(p.added, max_displays - 2);
    EXPECT_EQ(p.add[0], 0u);
    EXPECT_EQ(p.add[5], 6u);  // many[5] is held, so not added again
}
