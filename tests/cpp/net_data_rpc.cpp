// DataRpc against the simulated robot. Runs inside a private network namespace.
//
// One robot serves the whole binary; every case resets it and steers its replies through the
// control channel: "rpc IDS BEHAVIOUR" for calls that fail on the way, "rpc ID payload HEX" for a
// reply of exactly the bytes a case needs. The default logger is replaced by a capturing one for
// the length of each case, so the log lines are checked at their levels.

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "messages/rpc_messages.h"
#include "middleware/session.h"
#include "rpc/configuration_score.h"
#include "rpc/data_rpc.h"
#include "rpc/primitive_states.h"
#include "support/log_capture.h"
#include "support/sim_process.h"
#include "support/test_util.h"

namespace {

using korvan::test::LogCapture;
using korvan::test::LogLine;
using korvan::test::SimProcess;
using korvan::test::WaitUntil;
using korvan::tyr::JointGroup;
using korvan::tyr::PlanInfo;
using korvan::tyr_impl::DataRpc;
using korvan::tyr_impl::ManipulabilityValues;
using korvan::zenoh_msgs::tyr_msg::RPCReply;
using Clock = std::chrono::steady_clock;
using StartIds = std::map<JointGroup, int32_t>;
using Dofs = std::map<JointGroup, uint64_t>;
using Manipulability = std::map<JointGroup, ManipulabilityValues>;

const std::string kSerial = "KV-DR-0042";
const std::string kNoReply = "Failed to send remote call or server reply timeout";
const std::string kRejected = "Remote procedure failed";
const std::string kSizeMismatch =
    "Malformed start ID reply: size mismatch between joint_groups, int_container, and "
    "float_container";
const std::vector<JointGroup> kAllGroups = {JointGroup::ALL, JointGroup::ARMS, JointGroup::ARM_1,
                                            JointGroup::ARM_2, JointGroup::EXT_AXIS};
const std::map<JointGroup, std::string> kGroupNames = {{JointGroup::ALL, "ALL"},
                                                       {JointGroup::ARMS, "ARMS"},
                                                       {JointGroup::ARM_1, "ARM_1"},
                                                       {JointGroup::ARM_2, "ARM_2"},
                                                       {JointGroup::EXT_AXIS, "EXT_AXIS"}};

// ------------------------------------------------------------------------------------------------
// Replies

std::string Hex(const RPCReply& reply) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t byte : korvan::zenoh_msgs::tyr_msg::Encode(reply).as_vector()) {
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 0x0f]);
  }
  return hex;
}

RPCReply Strings(uint16_t request_id, std::vector<std::string> strings) {
  RPCReply reply;
  reply.request_id = request_id;
  reply.success = true;
  reply.string_container = std::move(strings);
  return reply;
}

RPCReply StartIdReply(std::vector<uint16_t> groups, std::vector<int32_t> starts,
                      std::vector<float> dofs) {
  RPCReply reply;
  reply.request_id = 10;
  reply.success = true;
  reply.joint_groups = std::move(groups);
  reply.int_container = std::move(starts);
  reply.float_container = std::move(dofs);
  return reply;
}

RPCReply ManipulabilityReply(std::vector<uint16_t> groups, std::vector<std::vector<float>> packed) {
  RPCReply reply;
  reply.request_id = 9;
  reply.success = true;
  reply.joint_groups = std::move(groups);
  reply.float2d_container = std::move(packed);
  return reply;
}

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

// ------------------------------------------------------------------------------------------------
// Fixture: the robot, one session, and a started DataRpc that has reached the robot

class DataRpcTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sim_ = std::make_unique<SimProcess>(kSerial, std::vector<std::string>{"--rate", "50"});
    session_ = korvan::zenoh_mdw::AcquireSession();
  }
  static void TearDownTestSuite() {
    session_.reset();
    sim_.reset();
  }

  void SetUp() override {
    sim_->Command("reset");
    ASSERT_EQ(rpc_.Start(session_, kSerial).code, 100000);
    // The robot's queryable takes a moment to become known.
    const bool reached = WaitUntil([&] { return rpc_.Ping(); }, std::chrono::seconds(20),
                                   std::chrono::nanoseconds(0));
    ASSERT_TRUE(reached) << "the simulated robot never answered the probe";
  }

  void Reply(uint16_t request_id, const RPCReply& reply) {
    sim_->Command("rpc " + std::to_string(request_id) + " payload " + Hex(reply));
  }

  static std::unique_ptr<SimProcess> sim_;
  static std::shared_ptr<zenoh::Session> session_;
  DataRpc rpc_;
};

std::unique_ptr<SimProcess> DataRpcTest::sim_;
std::shared_ptr<zenoh::Session> DataRpcTest::session_;

// ------------------------------------------------------------------------------------------------
// Success paths against the robot's own answers

TEST_F(DataRpcTest, StartCreatesTheClientOnTheRobotsRpcKey) {
  LogCapture log;
  DataRpc fresh;
  EXPECT_EQ(fresh.Start(session_, "KV-9-0001").code, 100000);
  EXPECT_TRUE(
      log.Has(spdlog::level::debug,
              "[korvan::tyr::Client] Creating RPC client on topic: korvan/robot/KV-9-0001/rpc"))
      << log.Dump();
}

TEST_F(DataRpcTest, ServerVersionIsTheFirstStringAndEveryStringIsLogged) {
  LogCapture log;
  std::string version = "before";
  ASSERT_EQ(rpc_.GetServerVersion(version).code, 100000);
  EXPECT_EQ(version, "v2.1");
  const std::vector<std::string> expected = {
      "[korvan::tyr::DataRpc] RPC reply request_id=1 success=true string_container_size=1",
      "[korvan::tyr::DataRpc] string_container[0] = v2.1", "Received TYR server version = v2.1"};
  std::vector<std::string> seen;
  for (const LogLine& line : log.Lines()) {
    EXPECT_EQ(line.level, spdlog::level::debug) << line.text;
    seen.push_back(line.text);
  }
  EXPECT_EQ(seen, expected);

  Reply(1, Strings(1, {"v9.9", "ignored"}));
  ASSERT_EQ(rpc_.GetServerVersion(version).code, 100000);
  EXPECT_EQ(version, "v9.9");
}

TEST_F(DataRpcTest, StartIdsAndDofsMatchTheRobotsJointVectors) {
  StartIds start_ids{{JointGroup::UNKNOWN, 5}};
  Dofs dofs{{JointGroup::UNKNOWN, 5}};
  ASSERT_EQ(rpc_.GetStartIdAndDof(kAllGroups, start_ids, dofs).code, 100000);
  EXPECT_EQ(start_ids, (StartIds{{JointGroup::ALL, 0},
                                 {JointGroup::ARMS, 0},
                                 {JointGroup::ARM_1, 0},
                                 {JointGroup::ARM_2, 7},
                                 {JointGroup::EXT_AXIS, 14}}));
  EXPECT_EQ(dofs, (Dofs{{JointGroup::ALL, 16},
                        {JointGroup::ARMS, 14},
                        {JointGroup::ARM_1, 7},
                        {JointGroup::ARM_2, 7},
                        {JointGroup::EXT_AXIS, 2}}));
  // Only the groups asked about come back; the maps are replaced, not merged.
  ASSERT_EQ(rpc_.GetStartIdAndDof({JointGroup::EXT_AXIS}, start_ids, dofs).code, 100000);
  EXPECT_EQ(start_ids, (StartIds{{JointGroup::EXT_AXIS, 14}}));
  EXPECT_EQ(dofs, (Dofs{{JointGroup::EXT_AXIS, 2}}));
}

TEST_F(DataRpcTest, PlanInfoAndPrimitiveStatesDescribeTheSamePrimitive) {
  PlanInfo info;
  ASSERT_EQ(rpc_.GetPlanInfo(info).code, 100000);
  EXPECT_EQ(info.assigned_plan_name, "PickAndPlace");
  EXPECT_EQ(info.node_path, "rootNode/mainLoop/" + info.node_name);
  EXPECT_EQ(info.node_name, info.pt_name + info.node_path_number);
  EXPECT_GE(info.velocity_scale, 0.5);
  EXPECT_LE(info.velocity_scale, 1.0);
  EXPECT_EQ(info.waiting_for_step, info.pt_name == "Hold");

  auto request = [this](std::vector<std::string>& s) { return rpc_.GetPrimitiveStates(s); };
  const auto states = korvan::tyr_impl::QueryPrimitiveStates(request, kGroupNames);
  ASSERT_EQ(states.size(), kGroupNames.size());
  for (const auto& [group, record] : states) {
    EXPECT_FALSE(record.pt_name.empty());
    const auto& values = record.names_and_values;
    EXPECT_TRUE(std::holds_alternative<int32_t>(values.at("cycleCount")));
    EXPECT_TRUE(std::holds_alternative<int32_t>(values.at("reachedTarget")));
    EXPECT_TRUE(std::holds_alternative<double>(values.at("timePeriod")));
    EXPECT_TRUE(std::holds_alternative<double>(values.at("jointDistance")));
    EXPECT_TRUE(std::holds_alternative<std::string>(values.at("phase")));
  }
}

TEST_F(DataRpcTest, ManipulabilityCoversEveryGroupAndFollowsTheMotion) {
  Manipulability first;
  ASSERT_EQ(rpc_.GetManipulability(first).code, 100000);
  ASSERT_EQ(first.size(), kAllGroups.size());
  for (const auto& [group, score] : korvan::tyr_impl::ConfigurationScores(first)) {
    EXPECT_GT(score.first, 0.0);
    EXPECT_LE(score.first, 100.0);
    EXPECT_GT(score.second, 0.0);
    EXPECT_LE(score.second, 100.0);
  }
  Manipulability later = first;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
  while (later == first && Clock::now() < deadline) {
    ASSERT_EQ(rpc_.GetManipulability(later).code, 100000);
  }
  EXPECT_NE(later, first);
}

// ------------------------------------------------------------------------------------------------
// Failed calls and rejected replies: 300000, outputs untouched, one debug line

struct Operation {
  const char* name;
  uint16_t request_id;
  // Calls the operation on outputs filled with sentinels; true when they are still untouched.
  std::function<std::pair<int32_t, bool>(DataRpc&)> call;
};

const std::vector<Operation>& Operations() {
  static const std::vector<Operation> operations = {
      {"server version", 1,
       [](DataRpc& rpc) {
         std::string version = "keep";
         int32_t code = rpc.GetServerVersion(version).code;
         return std::make_pair(code, version == "keep");
       }},
      {"primitive states", 3,
       [](DataRpc& rpc) {
         std::vector<std::string> strings = {"keep"};
         int32_t code = rpc.GetPrimitiveStates(strings).code;
         return std::make_pair(code, strings == std::vector<std::string>{"keep"});
       }},
      {"plan info", 4,
       [](DataRpc& rpc) {
         PlanInfo info;
         info.pt_name = "keep";
         int32_t code = rpc.GetPlanInfo(info).code;
         return std::make_pair(code, info.pt_name == "keep" && info.velocity_scale == 0.0);
       }},
      {"manipulability", 9,
       [](DataRpc& rpc) {
         Manipulability values{{JointGroup::UNKNOWN, {1, 2, 3, 4, 5, 6}}};
         const Manipulability before = values;
         int32_t code = rpc.GetManipulability(values).code;
         return std::make_pair(code, values == before);
       }},
      {"start id and dof", 10,
       [](DataRpc& rpc) {
         StartIds start_ids{{JointGroup::UNKNOWN, 5}};
         Dofs dofs{{JointGroup::UNKNOWN, 5}};
         int32_t code = rpc.GetStartIdAndDof(kAllGroups, start_ids, dofs).code;
         return std::make_pair(code, start_ids == StartIds{{JointGroup::UNKNOWN, 5}} &&
                                         dofs == Dofs{{JointGroup::UNKNOWN, 5}});
       }},
  };
  return operations;
}

TEST_F(DataRpcTest, EveryFailedOrRejectedCallLeavesItsOutputsAndLogsAtDebug) {
  const std::vector<std::pair<std::string, std::string>> behaviours = {
      {"no-reply", kNoReply},      {"error-reply", kNoReply},   {"truncated", kNoReply},
      {"undecodable", kNoReply},   {"trailing-byte", kNoReply}, {"wrong-id", kRejected},
      {"flip-success", kRejected},
  };
  for (const auto& [behaviour, line] : behaviours) {
    sim_->Command("rpc 1,3,4,9,10 " + behaviour);
    for (const Operation& op : Operations()) {
      LogCapture log;
      const auto [code, untouched] = op.call(rpc_);
      EXPECT_EQ(code, 300000) << behaviour << ", " << op.name;
      EXPECT_TRUE(untouched) << behaviour << ", " << op.name;
      ASSERT_EQ(log.Lines().size(), 1u) << behaviour << ", " << op.name << "\n" << log.Dump();
      EXPECT_TRUE(log.Has(spdlog::level::debug, line)) << behaviour << ", " << op.name;
    }
  }
}

// Start-up paces its probes by whether any reply came back, so a probe reports that too: every
// reply counts, rejected, erroneous or undecodable; only a query that got none does not.
TEST_F(DataRpcTest, ProbeCountsOnlyAReplyWithoutSuccessAsAnAnswer) {
  RPCReply probe_with_success;
  probe_with_success.success = true;
  const std::vector<std::tuple<std::string, bool, bool, std::string>> cases = {
      // behaviour, answered, replied, debug line
      {"normal", true, true, ""},
      {"flip-success", false, true, kRejected},
      {"payload " + Hex(probe_with_success), false, true, kRejected},
      {"wrong-id", false, true, kRejected},
      {"error-reply", false, true, kNoReply},
      {"truncated", false, true, kNoReply},
      {"trailing-byte", false, true, kNoReply},
      {"no-reply", false, false, kNoReply},
  };
  for (const auto& [behaviour, answered, replied, line] : cases) {
    sim_->Command("rpc 0 " + behaviour);
    for (const bool ping : {true, false}) {
      LogCapture log;
      if (ping) {
        EXPECT_EQ(rpc_.Ping(), answered) << behaviour;
      } else {
        const korvan::tyr_impl::ProbeOutcome outcome = rpc_.Probe();
        EXPECT_EQ(outcome.reached, answered) << behaviour;
        EXPECT_EQ(outcome.replied, replied) << behaviour;
      }
      if (line.empty()) {
        EXPECT_TRUE(log.Lines().empty()) << behaviour << "\n" << log.Dump();
      } else {
        EXPECT_EQ(log.Tagged(), std::vector<std::string>{"debug|" + line})
            << behaviour << (ping ? ", Ping" : ", Probe");
      }
    }
  }
}

TEST_F(DataRpcTest, RepliesThatMissTheTimeOutFailAndDoNotLeakIntoTheNextCall) {
  struct Case {
    const char* command;
    std::function<bool(DataRpc&)> call;
    double least, most;
  };
  const std::vector<Case> cases = {
      {"rpc 0 delay 1600", [](DataRpc& rpc) { return rpc.Ping(); }, 0.95, 1.5},
      {"rpc 10 hang",
       [](DataRpc& rpc) {
         StartIds start_ids;
         Dofs dofs;
         return rpc.GetStartIdAndDof(kAllGroups, start_ids, dofs).code == 100000;
       },
       1.95, 2.5},
      {"rpc 1 delay 2600",
       [](DataRpc& rpc) {
         std::string version;
         return rpc.GetServerVersion(version).code == 100000;
       },
       1.95, 2.5},
  };
  for (const Case& c : cases) {
    sim_->Command(c.command);
    LogCapture log;
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(c.call(rpc_)) << c.command;
    const double took = Seconds(Clock::now() - start);
    EXPECT_GE(took, c.least) << c.command;
    EXPECT_LT(took, c.most) << c.command;
    EXPECT_TRUE(log.Has(spdlog::level::debug, kNoReply)) << c.command;
    sim_->Command("reset");
  }
  // The late version reply arrives while this call waits for its own, later, reply.
  sim_->Command("rpc 4 delay 1000");
  LogCapture log;
  PlanInfo info;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(rpc_.GetPlanInfo(info).code, 100000) << log.Dump();
  EXPECT_GE(Seconds(Clock::now() - start), 0.95);
  EXPECT_EQ(info.assigned_plan_name, "PickAndPlace");
}

TEST_F(DataRpcTest, CallsBeforeStartFailWithoutTraffic) {
  LogCapture log;
  DataRpc idle;
  std::string version = "keep";
  EXPECT_FALSE(idle.Ping());
  EXPECT_EQ(idle.GetServerVersion(version).code, 300000);
  EXPECT_EQ(version, "keep");
  EXPECT_EQ(log.CountContaining(kNoReply), 2u);
}

TEST_F(DataRpcTest, AtInfoLevelOnlyMalformedRepliesAreVisible) {
  LogCapture log(spdlog::level::info);
  sim_->Command("rpc 1 no-reply");
  std::string version;
  EXPECT_EQ(rpc_.GetServerVersion(version).code, 300000);
  Reply(10, StartIdReply({0, 3}, {0}, {1.0f, 2.0f}));
  StartIds start_ids;
  Dofs dofs;
  EXPECT_EQ(rpc_.GetStartIdAndDof(kAllGroups, start_ids, dofs).code, 300000);
  ASSERT_EQ(log.Lines().size(), 1u) << log.Dump();
  EXPECT_TRUE(log.Has(spdlog::level::err, kSizeMismatch));
}

// ------------------------------------------------------------------------------------------------
// Malformed replies

TEST_F(DataRpcTest, StringRepliesOfEverySizeAreLoggedOrRefused) {
  std::string version = "keep";
  {
    LogCapture log;
    Reply(1, Strings(1, {}));
    EXPECT_EQ(rpc_.GetServerVersion(version).code, 300000);
    EXPECT_EQ(version, "keep");
    EXPECT_EQ(log.CountContaining("Received TYR server version"), 0u);
    EXPECT_TRUE(log.Has(spdlog::level::debug,
                        "[korvan::tyr::DataRpc] RPC reply request_id=1 success=true "
                        "string_container_size=0"));
  }
  {
    LogCapture log;
    std::vector<std::string> strings = {"old"};
    Reply(3, Strings(3, {"jointGroup = 3", "", "x = 1"}));
    EXPECT_EQ(rpc_.GetPrimitiveStates(strings).code, 100000);
    EXPECT_EQ(strings, (std::vector<std::string>{"jointGroup = 3", "", "x = 1"}));
    EXPECT_TRUE(log.Has(spdlog::level::debug, "[korvan::tyr::DataRpc] string_container[1] = "));
    EXPECT_TRUE(
        log.Has(spdlog::level::debug, "[korvan::tyr::DataRpc] string_container[2] = x = 1"));
    // A reply with an empty string is corrupted: the query asks again and finally gives up.
    auto request = [this](std::vector<std::string>& s) { return rpc_.GetPrimitiveStates(s); };
    try {
      korvan::tyr_impl::QueryPrimitiveStates(request, kGroupNames);
      ADD_FAILURE() << "corrupted replies accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(),
                   "[korvan::tyr::Client::primitive_states] Still received corrupted data after "
                   "several attempts");
    }
    EXPECT_EQ(log.CountContaining("string_container_size=3"), 1u + 6u);
    sim_->Command("rpc 3 no-reply");
    try {
      korvan::tyr_impl::QueryPrimitiveStates(request, kGroupNames);
      ADD_FAILURE() << "a missing reply accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "[korvan::tyr::Client::primitive_states] No reply from the robot");
    }
  }
  const std::vector<std::string> good = {"P", "N", "/a/b", "12.5", "3", "Plan", "0.5", "1"};
  const std::vector<std::pair<std::vector<std::string>, std::string>> plan_cases = {
      {{"P", "N", "/a/b", "12.5", "3", "Plan", "0.5"},
       "[korvan::tyr::Client] Size of plan info container is incorrect"},
      {{"P", "N", "/a/b", "12.5", "3", "Plan", "0.5", "1", "9"},
       "[korvan::tyr::Client] Size of plan info container is incorrect"},
      {{"P", "N", "/a/b", "12.5", "3", "Plan", "abc", "1"},
       "Invalid PlanInfo string conversion: invalid stod argument"},
      {{"P", "N", "/a/b", "12.5", "3", "Plan", "0.5", "true"},
       "Invalid PlanInfo string conversion: invalid stoi argument"},
  };
  for (const auto& [strings, line] : plan_cases) {
    LogCapture log;
    Reply(4, Strings(4, strings));
    PlanInfo info;
    EXPECT_EQ(rpc_.GetPlanInfo(info).code, 300000) << line;
    EXPECT_TRUE(log.Has(spdlog::level::err, line)) << log.Dump();
  }
  Reply(4, Strings(4, good));
  PlanInfo info;
  ASSERT_EQ(rpc_.GetPlanInfo(info).code, 100000);
  EXPECT_EQ(info.node_path_time_period, "12.5");
  EXPECT_EQ(info.velocity_scale, 0.5);
  EXPECT_TRUE(info.waiting_for_step);
}

TEST_F(DataRpcTest, ManipulabilityRepliesAreCheckedBeforeUse) {
  {
    LogCapture log;
    Manipulability values{{JointGroup::UNKNOWN, {}}};
    Reply(9, ManipulabilityReply({3, 4}, {{0, 0, 0, 0, 0.125f, 0, 0, 0.5f}}));
    EXPECT_EQ(rpc_.GetManipulability(values).code, 300000);
    EXPECT_EQ(values.count(JointGroup::UNKNOWN), 1u);
    EXPECT_TRUE(log.Has(spdlog::level::err,
                        "Malformed manipulability reply: size mismatch between joint_groups and "
                        "float2d_container"));
  }
  {
    LogCapture log;
    Manipulability values;
    Reply(9, ManipulabilityReply({3, 4}, {{0, 0, 1, 2, 3, 4, 5, 6}, {0, 0, 0, 0, 0, 0, 0}}));
    EXPECT_EQ(rpc_.GetManipulability(values).code, 300000);
    EXPECT_TRUE(log.Has(spdlog::level::err,
                        "Malformed manipulability reply: packed vector size [7], expecting at "
                        "least [8]"));
  }
  Manipulability values;
  Reply(9, ManipulabilityReply({3}, {{9, 9, 0, 0, 0.125f, 0, 0, 0.5f, 9}}));
  ASSERT_EQ(rpc_.GetManipulability(values).code, 100000);
  const auto scores = korvan::tyr_impl::ConfigurationScores(values);
  ASSERT_EQ(scores.size(), 1u);
  EXPECT_DOUBLE_EQ(scores.at(JointGroup::ARM_1).first, 32.85714285714286);
  EXPECT_DOUBLE_EQ(scores.at(JointGroup::ARM_1).second, 66.66666666666667);
}

TEST_F(DataRpcTest, StartIdRepliesDecideTheEntriesAndBadDofsAreRefused) {
  constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
  constexpr float kInf = std::numeric_limits<float>::infinity();
  const float below_limit = std::nextafter(18446744073709551616.0f, 0.0f);
  struct Case {
    const char* name;
    RPCReply reply;
    std::string error;  // empty: accepted
    StartIds start_ids;
    Dofs dofs;
  };
  const std::vector<Case> cases = {
      {"example",
       StartIdReply({0, 3}, {0, 7}, {14.0f, 7.0f}),
       "",
       {{JointGroup::ALL, 0}, {JointGroup::ARM_1, 7}},
       {{JointGroup::ALL, 14}, {JointGroup::ARM_1, 7}}},
      {"truncated toward zero",
       StartIdReply({4}, {7}, {6.9f}),
       "",
       {{JointGroup::ARM_2, 7}},
       {{JointGroup::ARM_2, 6}}},
      {"later entry wins",
       StartIdReply({3, 3}, {0, 5}, {7.0f, 2.0f}),
       "",
       {{JointGroup::ARM_1, 5}},
       {{JointGroup::ARM_1, 2}}},
      {"group added by the reply",
       StartIdReply({5}, {14}, {2.0f}),
       "",
       {{JointGroup::EXT_AXIS, 14}},
       {{JointGroup::EXT_AXIS, 2}}},
      {"empty", StartIdReply({}, {}, {}), "", {}, {}},
      {"zero and the largest float below 2^64",
       StartIdReply({0, 3}, {0, 0}, {0.0f, below_limit}),
       "",
       {{JointGroup::ALL, 0}, {JointGroup::ARM_1, 0}},
       {{JointGroup::ALL, 0}, {JointGroup::ARM_1, 18446742974197923840ull}}},
      {"three groups, two floats",
       StartIdReply({0, 3, 4}, {0, 0, 7}, {14.0f, 7.0f}),
       kSizeMismatch,
       {},
       {}},
      {"two groups, one start", StartIdReply({0, 3}, {0}, {14.0f, 7.0f}), kSizeMismatch, {}, {}},
      {"negative",
       StartIdReply({0, 3}, {0, 0}, {14.0f, -1.0f}),
       "Malformed start ID reply: invalid DoF [-1] for joint group [3]",
       {},
       {}},
      {"slightly negative",
       StartIdReply({5}, {0}, {-0.5f}),
       "Malformed start ID reply: invalid DoF [-0.5] for joint group [5]",
       {},
       {}},
      {"NaN",
       StartIdReply({4}, {7}, {kNaN}),
       "Malformed start ID reply: invalid DoF [nan] for joint group [4]",
       {},
       {}},
      {"infinite",
       StartIdReply({0}, {0}, {kInf}),
       "Malformed start ID reply: invalid DoF [inf] for joint group [0]",
       {},
       {}},
      {"2^64",
       StartIdReply({2}, {0}, {18446744073709551616.0f}),
       "Malformed start ID reply: invalid DoF [1.8446744e+19] for joint group [2]",
       {},
       {}},
  };
  const StartIds earlier_ids{{JointGroup::ARMS, 1}};
  const Dofs earlier_dofs{{JointGroup::ARMS, 2}};
  for (const Case& c : cases) {
    Reply(10, c.reply);
    LogCapture log;
    StartIds start_ids = earlier_ids;
    Dofs dofs = earlier_dofs;
    const int32_t code = rpc_.GetStartIdAndDof({JointGroup::ARM_1}, start_ids, dofs).code;
    if (c.error.empty()) {
      EXPECT_EQ(code, 100000) << c.name;
      EXPECT_EQ(start_ids, c.start_ids) << c.name;
      EXPECT_EQ(dofs, c.dofs) << c.name;
      EXPECT_TRUE(log.Lines().empty()) << c.name << "\n" << log.Dump();
    } else {
      EXPECT_EQ(code, 300000) << c.name;
      EXPECT_EQ(start_ids, earlier_ids) << c.name;
      EXPECT_EQ(dofs, earlier_dofs) << c.name;
      EXPECT_TRUE(log.Has(spdlog::level::err, c.error)) << c.name << "\n" << log.Dump();
    }
  }
}

// ------------------------------------------------------------------------------------------------
// Primitive states: corrupted replies are asked for again, at most six times in all

const std::string kStillCorrupted =
    "[korvan::tyr::Client::primitive_states] Still received corrupted data after several attempts";

// Answers request 3 with `corrupted` for the next `times` queries, the robot's own reply after.
void CorruptNext(SimProcess& sim, const std::vector<std::string>& corrupted, int times) {
  sim.Command("rpc 3 payload " + Hex(Strings(3, corrupted)) + " times " + std::to_string(times));
}

const std::vector<std::vector<std::string>> kCorruptedReplies = {
    {"jointGroup = 3", ""},
    {""},
    {"", "jointGroup = 3", "primitiveName = P1"},
};

TEST_F(DataRpcTest, PrimitiveStatesAreAskedForAgainUntilAReplyIsClean) {
  auto request = [this](std::vector<std::string>& s) { return rpc_.GetPrimitiveStates(s); };
  for (const auto& corrupted : kCorruptedReplies) {
    for (int k : {1, 5}) {
      SCOPED_TRACE("corrupted first " + std::to_string(k) + " of " + corrupted.front());
      sim_->Command("reset");
      CorruptNext(*sim_, corrupted, k);
      std::map<JointGroup, korvan::tyr::PrimitiveStates> states;
      EXPECT_NO_THROW(states = korvan::tyr_impl::QueryPrimitiveStates(request, kGroupNames));
      EXPECT_EQ(states.size(), kGroupNames.size());  // the robot's clean reply, not a corrupt one
      EXPECT_NO_THROW(sim_->Command("count 3 " + std::to_string(k + 1)));
    }
  }
}

TEST_F(DataRpcTest, PrimitiveStatesGiveUpAfterSixCorruptedReplies) {
  auto request = [this](std::vector<std::string>& s) { return rpc_.GetPrimitiveStates(s); };
  for (int k : {6, 7, 20}) {
    SCOPED_TRACE("corrupted first " + std::to_string(k));
    sim_->Command("reset");
    CorruptNext(*sim_, kCorruptedReplies.front(), k);
    try {
      korvan::tyr_impl::QueryPrimitiveStates(request, kGroupNames);
      ADD_FAILURE() << "six corrupted replies accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), kStillCorrupted);
    }
    EXPECT_NO_THROW(sim_->Command("count 3 6"));
    // The seventh reply is clean for k = 6: a new query starts counting afresh and succeeds.
    if (k == 6) {
      EXPECT_NO_THROW(korvan::tyr_impl::QueryPrimitiveStates(request, kGroupNames));
      EXPECT_NO_THROW(sim_->Command("count 3 7"));
    }
  }
}

TEST_F(DataRpcTest, PrimitiveStatesFetchStopsAtTheFirstFailedCall) {
  auto request = [this](std::vector<std::string>& s) { return rpc_.GetPrimitiveStates(s); };
  // Two corrupted replies, then one that DataRpc rejects: no retry after the failed call.
  sim_->Command("rpc all flip-success");
  CorruptNext(*sim_, kCorruptedReplies.front(), 2);
  try {
    korvan::tyr_impl::FetchPrimitiveStateStrings(request);
    ADD_FAILURE() << "a rejected reply accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "[korvan::tyr::Client::primitive_states] No reply from the robot");
  }
  EXPECT_NO_THROW(sim_->Command("count 3 3"));
}

}  // namespace
