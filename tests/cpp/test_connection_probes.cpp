// The pacing of the start-up's connection probes, on a simulated clock: which probes are followed
// at once by the next and which first wait out their time-out.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "client/tyr_client.h"

namespace {

using korvan::tyr_impl::kConnectAttempts;
using korvan::tyr_impl::ProbeClock;
using korvan::tyr_impl::ProbeOutcome;
using korvan::tyr_impl::ProbePacing;
using korvan::tyr_impl::ProbeRobot;
using std::chrono::milliseconds;

constexpr auto kTimeout = milliseconds(1000);

// A probe's scripted outcome and how long it takes on the simulated clock.
struct Step {
  ProbeOutcome outcome;
  milliseconds takes;
};

const ProbeOutcome kReached{true, true};
const ProbeOutcome kRejected{false, true};  // a reply came, but not the probe's answer
const ProbeOutcome kNoReply{false, false};

// Runs the probes against `steps` and records every event as text, times in simulated ms since
// the start: "probe@T" when a probe starts, "wait@T->U" for a wait from T until U.
struct ProbeRun {
  bool reached = false;
  std::vector<std::string> events;
};

ProbeRun RunProbes(const std::vector<Step>& steps) {
  ProbeRun run;
  const ProbeClock::time_point origin{};
  ProbeClock::time_point now = origin;
  size_t next = 0;
  auto at = [&](ProbeClock::time_point t) {
    return std::to_string(std::chrono::duration_cast<milliseconds>(t - origin).count());
  };
  auto probe = [&] {
    run.events.push_back("probe@" + at(now));
    if (next >= steps.size()) {
      ADD_FAILURE() << "more probes than scripted";
      return kNoReply;
    }
    const Step& step = steps[next++];
    now += step.takes;
    return step.outcome;
  };
  auto sleep_until = [&](ProbeClock::time_point until) {
    // A deadline already passed makes no wait.
    if (until <= now) return;
    run.events.push_back("wait@" + at(now) + "->" + at(until));
    now = until;
  };
  const ProbePacing pacing{probe, [&] { return now; }, sleep_until};
  run.reached = ProbeRobot(pacing, kConnectAttempts, kTimeout);
  return run;
}

TEST(ConnectionProbes, OnlyAProbeWithoutAnyReplyWaitsOutItsTimeOut) {
  struct Case {
    const char* name;
    std::vector<Step> steps;
    bool reached;
    std::vector<std::string> events;
  };
  const std::vector<Case> cases = {
      {"first probe answered", {{kReached, milliseconds(3)}}, true, {"probe@0"}},
      {"three rejected probes fail after exactly three probes, without a wait",
       {{kRejected, milliseconds(2)}, {kRejected, milliseconds(2)}, {kRejected, milliseconds(2)}},
       false,
       {"probe@0", "probe@2", "probe@4"}},
      {"a probe ended at once without reply waits until its own deadline",
       {{kNoReply, milliseconds(1)}, {kReached, milliseconds(4)}},
       true,
       {"probe@0", "wait@1->1000", "probe@1000"}},
      {"a rejected probe is followed at once, a later unanswered one waits from its own start",
       {{kRejected, milliseconds(5)}, {kNoReply, milliseconds(2)}, {kReached, milliseconds(1)}},
       true,
       {"probe@0", "probe@5", "wait@7->1005", "probe@1005"}},
      {"a probe that timed out has nothing left to wait for",
       {{kNoReply, milliseconds(1000)}, {kRejected, milliseconds(1)}, {kReached, milliseconds(1)}},
       true,
       {"probe@0", "probe@1000", "probe@1001"}},
      {"nothing waits after the last probe",
       {{kNoReply, milliseconds(1)}, {kNoReply, milliseconds(1)}, {kNoReply, milliseconds(1)}},
       false,
       {"probe@0", "wait@1->1000", "probe@1000", "wait@1001->2000", "probe@2000"}},
  };
  for (const Case& c : cases) {
    const ProbeRun run = RunProbes(c.steps);
    EXPECT_EQ(run.reached, c.reached) << c.name;
    EXPECT_EQ(run.events, c.events) << c.name;
  }
}

}  // namespace
