// The cycle watch's rules on a scripted node and a scripted clock: looks come
// when the judge asks for them, cycles and answers when the script says.

#include "PipeWireCycleJudge.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using pipewire::CycleJudge;
using pipewire::NodeLook;
using namespace std::chrono_literals;
using Clock = CycleJudge::Clock;

constexpr auto kQuantum = 21ms;  // 1,024 frames at 48 kHz

struct ScriptedNode {
    ScriptedNode()
    {
        look.routing = look.shouldRun = true;
        look.cycleSeconds = 0.021;
    }

    // Cycles every quantum up to `until` (from the last cycle on).
    void cycleUntil(Clock::time_point until)
    {
        Clock::time_point next = look.lastCycle == Clock::time_point{} ? now : look.lastCycle + kQuantum;
        for (; next <= until; next += kQuantum) {
            look.cycles += 2;
            look.lastCycle = next;
        }
    }

    // One look at the time the judge asked for; a round trip it asks for is
    // answered at once when `answering`.
    CycleJudge::Verdict lookNow(bool answering = true)
    {
        const CycleJudge::Verdict verdict = judge.judge(look, now);
        ++looks;
        if (verdict.ask) {
            ++asked;
            judge.asked(++seq, now);
            if (answering)
                judge.answered(seq, now + 1ms);
        }
        if (verdict.state == kAudioHardwareIOSilent && !firstSilent)
            firstSilent = now;
        if (verdict.state == kAudioHardwareIOStalled && !firstStalled)
            firstStalled = now;
        return verdict;
    }

    // Looks, each when the previous one asked, for `span`; cycles keep coming
    // until `cyclesStop` (forever when unset).
    void run(Clock::duration span, std::optional<Clock::time_point> cyclesStop = {}, bool answering = true)
    {
        const Clock::time_point end = now + span;
        while (now < end) {
            cycleUntil(cyclesStop ? std::min(now, *cyclesStop) : now);
            now += lookNow(answering).nextLook;
        }
    }

    CycleJudge judge;
    NodeLook look;
    Clock::time_point now = Clock::time_point{} + 1000s;
    int seq = 0, looks = 0, asked = 0;
    std::optional<Clock::time_point> firstSilent, firstStalled;
};

TEST(PipeWireCycleJudge, ANodeThatKeepsCyclingIsLookedAtAboutOnceASecondAndTheServerIsAskedNothing)
{
    ScriptedNode node;
    node.run(2s);  // the watch starts: one round trip before the first cycles are seen
    node.looks = node.asked = 0;
    node.run(20s);
    EXPECT_LE(node.looks, 21);
    EXPECT_EQ(node.asked, 0);
    EXPECT_FALSE(node.firstSilent);
}

TEST(PipeWireCycleJudge, CyclesThatStopAreSilentWithinASecondAndStalledOneAndAHalfSecondsAfterTheLast)
{
    // The last cycle at every point between two calm looks: just after one,
    // halfway, just before the next.
    for (const auto lastAfterLook : {1ms, 500ms, 980ms}) {
        ScriptedNode node;
        node.run(3s);
        const Clock::time_point lastCycle = node.now + lastAfterLook;
        node.run(4s, lastCycle);
        const Clock::time_point last = node.look.lastCycle;
        ASSERT_TRUE(node.firstSilent && node.firstStalled) << lastAfterLook.count();
        EXPECT_GE(*node.firstSilent - last, 300ms) << lastAfterLook.count();
        EXPECT_LE(*node.firstSilent - last, 1250ms) << lastAfterLook.count();
        EXPECT_GE(*node.firstStalled - last, 1500ms) << lastAfterLook.count();
        EXPECT_LE(*node.firstStalled - last, 1750ms) << lastAfterLook.count();

        // Cycles that come back are seen within a close look.
        node.cycleUntil(node.now + 100ms);
        EXPECT_EQ(node.lookNow().state, kAudioHardwareIORunning);
    }
}

TEST(PipeWireCycleJudge, ADriverClockThatSaysTheNewestCycleIsOldNeverBringsAStallEarly)
{
    ScriptedNode node;
    node.run(3s);
    // Cycles keep coming, stamped on a clock an hour behind, with a hiccup
    // of 400 ms (a quantum change) in the middle.
    const Clock::time_point hiccup = node.now + 3s;
    while (node.now < hiccup + 3s) {
        if (node.now < hiccup || node.now >= hiccup + 400ms) {
            node.look.cycles += 2;
            node.look.lastCycle = node.now - 3600s;
        }
        node.now += node.lookNow().nextLook;
    }
    EXPECT_FALSE(node.firstStalled);
}

TEST(PipeWireCycleJudge, WithoutCyclesAServerThatLeavesARoundTripUnansweredIsStalledAndAnAnswerEndsIt)
{
    ScriptedNode node;
    node.look.shouldRun = false;  // routing, no link standing yet: no cycles to miss
    node.run(5s);
    EXPECT_GE(node.asked, 4);
    EXPECT_FALSE(node.firstStalled);

    const Clock::time_point hangs = node.now;
    node.run(3s, {}, false);
    ASSERT_TRUE(node.firstStalled);
    EXPECT_GE(*node.firstStalled - hangs, 1500ms);
    EXPECT_LE(*node.firstStalled - hangs, 3s);

    node.judge.answered(node.seq, node.now);
    EXPECT_EQ(node.lookNow().state, kAudioHardwareIORunning);
}

TEST(PipeWireCycleJudge, CyclesThatComeWhileARoundTripIsAwaitedAnswerForTheServer)
{
    ScriptedNode node;
    node.look.shouldRun = false;
    node.run(500ms, {}, false);  // a round trip asked before the links stand, never answered
    ASSERT_EQ(node.asked, 1);
    node.look.shouldRun = true;
    node.run(10s, {}, false);
    EXPECT_FALSE(node.firstStalled);
    EXPECT_EQ(node.asked, 1);
}

} // namespace
