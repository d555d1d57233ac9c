// Client start-up and queries against the simulated robot, inside a private network namespace.
//
// One dual-arm robot serves most cases; each case resets it and steers its replies through the
// control channel. Cases that need a robot started with other options run their own. The shared
// session is held for the whole binary, so every client finds the robots already discovered.

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "korvantyr/korvantyr.h"
#include "messages/rpc_messages.h"
#include "middleware/session.h"
#include "rpc/configuration_score.h"
#include "rpc/data_rpc.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/sim_process.h"
#include "support/test_util.h"

namespace {

using korvan::test::LogCapture;
using korvan::test::SimProcess;
using korvan::test::ToHex;
using korvan::test::WaitUntil;
using korvan::tyr::Client;
using korvan::tyr::JointGroup;
using korvan::zenoh_msgs::tyr_msg::RPCReply;

const std::string kSerial = "KV-CL-0042";
// The same robot as the user may spell it: model words separated by a space.
const std::string kSpelledSerial = "KV CL-0042";
const std::string kExitLine = ">>>>> Korvan TYR exited <<<<<";
const std::string kConnected = "[korvan::tyr::Client] Connected to the robot";

// The simulator's dual-arm robot: group, name and DoF in ascending group order.
const std::vector<std::pair<JointGroup, std::pair<std::string, uint64_t>>> kDualArm = {
    {JointGroup::ALL, {"ALL", 16}},
    {JointGroup::ARMS, {"ARMS", 14}},
    {JointGroup::ARM_1, {"ARM_1", 7}},
    {JointGroup::ARM_2, {"ARM_2", 7}},
    {JointGroup::EXT_AXIS, {"EXT_AXIS", 2}}};

std::string ConnectFailure(const std::string& serial) {
  return "[korvan::tyr::Client] Failed to connect to [" + serial +
         "]. Please check that: a) Ethernet connection with the target robot is established; b) "
         "The specified serial number of the target robot is correct; c) No firewall is active or "
         "this TYR program is whitelisted; d) TYR version is compatible with the target robot's "
         "software version";
}

RPCReply Strings(uint16_t request_id, std::vector<std::string> strings) {
  RPCReply reply;
  reply.request_id = request_id;
  reply.success = true;
  reply.string_container = std::move(strings);
  return reply;
}

std::string Hex(const RPCReply& reply) {
  return ToHex(korvan::zenoh_msgs::tyr_msg::Encode(reply).as_vector());
}

// Runs `make` and returns the message of the exception of type E it throws ("" if none).
template <class E, class Make>
std::string ThrownMessage(Make make) {
  try {
    make();
  } catch (const E& error) {
    return error.what();
  }
  return "";
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

class ClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    session_ = korvan::zenoh_mdw::AcquireSession();
    sim_ = std::make_unique<SimProcess>(kSerial, std::vector<std::string>{"--rate", "50"});
    WaitForRobot(kSerial);
  }
  static void TearDownTestSuite() {
    sim_.reset();
    session_.reset();
  }

  void SetUp() override { sim_->Command("reset"); }

  // The client probes only three times; a robot that has just started may not be known yet.
  static void WaitForRobot(const std::string& serial) {
    korvan::tyr_impl::DataRpc rpc;
    ASSERT_EQ(rpc.Start(session_, serial).code, 100000);
    ASSERT_TRUE(WaitUntil([&] { return rpc.Ping(); }, std::chrono::seconds(20),
                          std::chrono::nanoseconds(0)))
        << "the simulated robot " << serial << " never answered the probe";
  }

  static std::unique_ptr<SimProcess> sim_;
  static std::shared_ptr<zenoh::Session> session_;
};

std::unique_ptr<SimProcess> ClientTest::sim_;
std::shared_ptr<zenoh::Session> ClientTest::session_;

// ------------------------------------------------------------------------------------------------
// Start-up

TEST_F(ClientTest, VerboseStartUpLogsEveryStepAndTheExitLineOnDestruction) {
  LogCapture log;
  auto client = std::make_unique<Client>(kSpelledSerial, true);
  std::vector<std::string> expected = {"| | | | | | | | | |  Korvan TYR v2.1  | | | | | | | | | |",
                                       "[korvan::tyr::Client] Searching for [KV-CL-0042] ...",
                                       kConnected};
  for (const auto& [group, name_and_dof] : kDualArm) {
    expected.push_back("[korvan::tyr::Client] Joint group: " + name_and_dof.first +
                       ", DoF: " + std::to_string(name_and_dof.second));
  }
  expected.push_back("[korvan::tyr::Client] Initialization complete");
  EXPECT_EQ(log.At(spdlog::level::info), expected);
  EXPECT_TRUE(
      log.Has(spdlog::level::debug, "[korvan::tyr::Client] Starting communication services ..."));
  EXPECT_TRUE(
      log.Has(spdlog::level::debug, "[korvan::tyr::Client] Communication services started"));

  client.reset();
  expected.push_back(kExitLine);
  EXPECT_EQ(log.At(spdlog::level::info), expected);
}

TEST_F(ClientTest, QuietStartUpLogsOnlyTheConnectionAndTheExitLine) {
  LogCapture log;
  auto client = std::make_unique<Client>(kSerial, false);
  EXPECT_EQ(log.At(spdlog::level::info), std::vector<std::string>{kConnected});
  client.reset();
  EXPECT_EQ(log.At(spdlog::level::info), (std::vector<std::string>{kConnected, kExitLine}));
}

TEST_F(ClientTest, ConnectsWhenOnlyTheSecondProbeIsAnswered) {
  sim_->Command("rpc 0 no-reply times 1");
  Client client(kSerial, false);
  sim_->Command("count 0 2");
}

TEST_F(ClientTest, MalformedSerialFailsBeforeAnySessionWork) {
  LogCapture log;
  EXPECT_EQ(ThrownMessage<std::invalid_argument>([] { Client("KV-CL_0042", false); }),
            "[korvan::tyr::Client] Format of the provided robot serial number is invalid");
  EXPECT_EQ(log.CountContaining(kExitLine), 0u);
  EXPECT_EQ(log.CountContaining("Starting communication services"), 0u);
}

// Every failure after the client opened its session unwinds it once: one exit line.
TEST_F(ClientTest, FailedStartUpThrowsItsMessageAndLogsTheExitLineOnce) {
  struct Case {
    std::string rule;
    std::string message;
    uint16_t request_id;
    int queries;
  };
  const std::vector<Case> cases = {
      {"rpc 0 no-reply times 3", ConnectFailure(kSerial), 0, 3},
      {"rpc 1 no-reply times 1", "[korvan::tyr::Client] Failed to sync TYR server version", 1, 1},
      {"rpc 1 payload " + Hex(Strings(1, {})),
       "[korvan::tyr::Client] Failed to sync TYR server version", 1, 1},
      {"rpc 10 no-reply times 1",
       "[korvan::tyr::Client] Failed to obtain robot start ID and DoF information", 10, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    sim_->Command("reset");
    sim_->Command(c.rule);
    LogCapture log;
    // The message names the serial number in its canonical form.
    EXPECT_EQ(ThrownMessage<std::runtime_error>([] { Client(kSpelledSerial, true); }), c.message);
    EXPECT_EQ(log.CountContaining(kExitLine), 1u) << log.Dump();
    EXPECT_EQ(log.CountContaining("Initialization complete"), 0u);
    sim_->Command("count " + std::to_string(c.request_id) + " " + std::to_string(c.queries));
  }
}

TEST_F(ClientTest, OnlyTheExactServerVersionIsAccepted) {
  int index = 0;
  for (const std::string version : {"v2.10", "v2.2", "", "v2.1"}) {
    SCOPED_TRACE("server version \"" + version + "\"");
    const std::string serial = "KV-VER-" + std::to_string(index++);
    SimProcess robot(serial, {"--rate", "50", "--server-version", version});
    WaitForRobot(serial);
    LogCapture log;
    if (version == "v2.1") {
      EXPECT_NO_THROW(Client(serial, false));
    } else {
      EXPECT_EQ(ThrownMessage<std::logic_error>([&] { Client(serial, false); }),
                "[korvan::tyr::Client] Version of this client is incompatible with robot [" +
                    serial + "]");
    }
    EXPECT_EQ(log.CountContaining(kExitLine), 1u) << log.Dump();
  }
}

// ------------------------------------------------------------------------------------------------
// Queries

TEST_F(ClientTest, StreamQueriesFollowTheRobotsJointGroups) {
  Client client(kSerial, false);
  std::map<JointGroup, std::string> names;
  for (const auto& [group, name_and_dof] : kDualArm) names[group] = name_and_dof.first;
  EXPECT_EQ(client.groups(), names);

  const auto states = client.states();
  const auto actions = client.actions();
  ASSERT_EQ(states.size(), kDualArm.size());
  ASSERT_EQ(actions.size(), kDualArm.size());
  for (const auto& [group, name_and_dof] : kDualArm) {
    SCOPED_TRACE(name_and_dof.first);
    EXPECT_EQ(states.at(group).q.size(), name_and_dof.second);
    EXPECT_EQ(states.at(group).temperature.size(), name_and_dof.second);
    EXPECT_EQ(actions.at(group).q_d.size(), name_and_dof.second);
  }
  // The groups are cut at the robot's start IDs: ARM_2 is joints 7 to 13 of the whole robot.
  const auto& all = states.at(JointGroup::ALL).q;
  EXPECT_EQ(states.at(JointGroup::ARM_2).q, std::vector<double>(all.begin() + 7, all.begin() + 14));
  EXPECT_EQ(states.at(JointGroup::EXT_AXIS).q, std::vector<double>(all.begin() + 14, all.end()));

  // The simulated robot always has its e-stop released.
  EXPECT_TRUE(client.estop_released());
  EXPECT_EQ(client.digital_inputs().size(), 20u);
  EXPECT_EQ(client.digital_outputs().size(), 20u);
  EXPECT_TRUE(client.connected());
}

TEST_F(ClientTest, RemoteQueriesReturnTheRobotsAnswers) {
  Client client(kSerial, false);

  sim_->Command("rpc 4 payload " + Hex(Strings(4, {"MoveL", "MoveL2", "rootNode/mainLoop/MoveL2",
                                                   "1.250", "2", "PickAndPlace", "0.75", "1"})));
  const korvan::tyr::PlanInfo plan = client.plan_info();
  EXPECT_EQ(plan.pt_name, "MoveL");
  EXPECT_EQ(plan.node_name, "MoveL2");
  EXPECT_EQ(plan.node_path, "rootNode/mainLoop/MoveL2");
  EXPECT_EQ(plan.node_path_time_period, "1.250");
  EXPECT_EQ(plan.node_path_number, "2");
  EXPECT_EQ(plan.assigned_plan_name, "PickAndPlace");
  EXPECT_DOUBLE_EQ(plan.velocity_scale, 0.75);
  EXPECT_TRUE(plan.waiting_for_step);

  // Primitive states are accepted only for the groups the robot announced at start-up.
  sim_->Command("rpc 3 payload " +
                Hex(Strings(3, {"jointGroup = 3", "primitiveName = Contact", "cycleCount = 4",
                                "jointGroup = 5", "primitiveName = Hold", "phase = Settle"})));
  const auto primitives = client.primitive_states();
  ASSERT_EQ(primitives.size(), 2u);
  EXPECT_EQ(primitives.at(JointGroup::ARM_1).pt_name, "Contact");
  EXPECT_EQ(std::get<int32_t>(primitives.at(JointGroup::ARM_1).names_and_values.at("cycleCount")),
            4);
  EXPECT_EQ(primitives.at(JointGroup::EXT_AXIS).pt_name, "Hold");

  RPCReply manipulability;
  manipulability.request_id = 9;
  manipulability.success = true;
  manipulability.joint_groups = {0, 3};
  manipulability.float2d_container = {{1, 16, 0.1f, 0.2f, 0.15f, 0.3f, 0.4f, 0.3f},
                                      {1, 7, 0.1f, 0.2f, 0.22f, 0.3f, 0.4f, 0.75f}};
  sim_->Command("rpc 9 payload " + Hex(manipulability));
  std::map<JointGroup, korvan::tyr_impl::ManipulabilityValues> values = {
      {JointGroup::ALL, {0.1f, 0.2f, 0.15f, 0.3f, 0.4f, 0.3f}},
      {JointGroup::ARM_1, {0.1f, 0.2f, 0.22f, 0.3f, 0.4f, 0.75f}}};
  EXPECT_EQ(client.configuration_score(), korvan::tyr_impl::ConfigurationScores(values));

  // The robot's own answers, unscripted.
  sim_->Command("reset");
  EXPECT_EQ(client.plan_info().assigned_plan_name, "PickAndPlace");
  EXPECT_EQ(client.primitive_states().size(), kDualArm.size());
  EXPECT_EQ(client.configuration_score().size(), kDualArm.size());
}

TEST_F(ClientTest, FailedRemoteQueryThrowsAndLeavesTheClientUsable) {
  Client client(kSerial, false);
  struct Case {
    uint16_t request_id;
    std::string message;
    std::function<void()> query;
  };
  const std::vector<Case> cases = {
      {4, "[korvan::tyr::Client] plan_info: No reply from the robot", [&] { client.plan_info(); }},
      {3, "[korvan::tyr::Client::primitive_states] No reply from the robot",
       [&] { client.primitive_states(); }},
      {9, "[korvan::tyr::Model::configuration_score] No reply from the robot",
       [&] { client.configuration_score(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    sim_->Command("rpc " + std::to_string(c.request_id) + " flip-success times 1");
    EXPECT_EQ(ThrownMessage<std::runtime_error>(c.query), c.message);
    EXPECT_TRUE(client.connected());
    EXPECT_NO_THROW(c.query());
  }

  sim_->Command("rpc 0 no-reply times 1");
  EXPECT_FALSE(client.connected());
  EXPECT_TRUE(client.connected());
}

// ------------------------------------------------------------------------------------------------
// Process exit

// A program whose client lives in a static object ends it from the exit handlers, where Zenoh can
// no longer be called on the main thread, while the robot still streams at 1 kHz. It must end as
// quietly as it would otherwise: exit status 0 and nothing printed but its own lines, the
// client's connection line and the exit line that shows the client was destroyed.
TEST(ClientAtExit, StaticClientEndsQuietlyWhileTheRobotStreams) {
  const std::string serial = "KV-EX-0007";
  SimProcess robot(serial, {"--rate", "1000"});
  for (int run = 0; run < 3; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    // Both of the program's output streams in one pipe, then its exit status.
    korvan::test::ChildProcess program(
        {"/bin/sh", "-c", KORVANTYR_PROGRAM_RUNNER " \"$0\" \"$1\" 2>&1; echo status $?",
         KORVANTYR_STATIC_CLIENT_PROGRAM, serial});
    std::vector<std::string> lines;
    while (std::optional<std::string> line = program.ReadLine(std::chrono::seconds(60))) {
      lines.push_back(*line);
    }
    std::string output;
    for (const std::string& line : lines) output += line + "\n";
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "status 0") << output;
    lines.pop_back();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "streaming"), 1) << output;
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return EndsWith(l, kExitLine); }),
              1)
        << output;
    for (const std::string& line : lines) {
      EXPECT_TRUE(line == "streaming" || EndsWith(line, kConnected) || EndsWith(line, kExitLine))
          << "unexpected output: " << line << "\n" << output;
    }
  }
}

}  // namespace
