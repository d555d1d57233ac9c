// DataStream against scripted peers in a private network namespace: latest-message semantics,
// bad samples, joint-group answers, concurrent queries at stream rate and teardown while samples
// arrive.
//
// To know that a sample has been handled, each put on a stream key is followed by a marker (see
// support/marked_peer.h).

#include "stream/data_stream.h"

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "messages/stream_messages.h"
#include "middleware/robot_keys.h"
#include "middleware/session.h"
#include "middleware/zenoh.h"
#include "support/log_capture.h"
#include "support/marked_peer.h"
#include "support/peer_process.h"
#include "support/test_util.h"

namespace {

using korvan::test::BlockingLog;
using korvan::test::LogCapture;
using korvan::test::MarkedPeer;
using korvan::test::PeerProcess;
using korvan::test::ToHex;
using korvan::test::WaitUntil;
using korvan::tyr::JointGroup;
using korvan::tyr_impl::DataStream;
using korvan::zenoh_mdw::AcquireSession;
using korvan::zenoh_mdw::RobotKey;
using korvan::zenoh_msgs::tyr_msg::AllBasicStreamData;
using korvan::zenoh_msgs::tyr_msg::AllExtraStreamData;
using std::chrono::milliseconds;

constexpr auto kPatience = std::chrono::seconds(10);
const std::string kSerial = "KV-7-0042";
const std::string kBasicKey = RobotKey(kSerial, korvan::zenoh_mdw::kBasicStreamSuffix);
const std::string kExtraKey = RobotKey(kSerial, korvan::zenoh_mdw::kExtraStreamSuffix);

// The dual-arm robot the messages below describe: two arms of 7 joints, one after the other.
const std::map<JointGroup, std::string> kGroupNames{{JointGroup::ARM_1, "ARM_1"},
                                                    {JointGroup::ARM_2, "ARM_2"}};
const std::map<JointGroup, int32_t> kStartIds{{JointGroup::ARM_1, 0}, {JointGroup::ARM_2, 7}};
const std::map<JointGroup, uint64_t> kDofs{{JointGroup::ARM_1, 7}, {JointGroup::ARM_2, 7}};
constexpr size_t kJoints = 14;

template <class T>
std::vector<uint8_t> Bytes(const T& message) {
  return korvan::zenoh_msgs::tyr_msg::Encode(message).as_vector();
}

template <class T>
std::string Hex(const T& message) {
  return ToHex(Bytes(message));
}

// Every field a query reads carries `tag`, so a query that saw parts of two messages shows:
// odd tags release the e-stop and set all inputs, even tags hold the enabling device and set all
// outputs; joint value i is 100 * tag + i.
AllBasicStreamData Basic(uint16_t tag, std::vector<uint16_t> groups = {3, 4}) {
  AllBasicStreamData message;
  const bool odd = (tag % 2) == 1;
  message.safety_io.estop_released = odd;
  message.safety_io.enabling_device_on = !odd;
  message.safety_io.digital_inputs.fill(odd);
  message.safety_io.digital_outputs.fill(!odd);
  message.cartesian_data.resize(groups.size());
  for (auto& cartesian : message.cartesian_data) cartesian.tcp_pose[0] = tag;
  message.joint_group_indices = std::move(groups);
  for (size_t i = 0; i < kJoints; ++i) {
    message.joint_data.q.push_back(100.0f * tag + static_cast<float>(i));
    message.joint_data.temperature.push_back(100.0f * tag + static_cast<float>(i));
  }
  for (auto* vector : {&message.joint_data.theta, &message.joint_data.dq,
                       &message.joint_data.dtheta, &message.joint_data.tau,
                       &message.joint_data.tau_dot, &message.joint_data.tau_ext,
                       &message.joint_data.tau_interact}) {
    vector->assign(kJoints, 0.0f);
  }
  message.timestamp = {tag, 4000000000u + tag};
  return message;
}

AllExtraStreamData Extra(uint16_t tag) {
  AllExtraStreamData message;
  message.joint_group_indices = {3, 4};
  for (size_t i = 0; i < kJoints; ++i) {
    message.desired_joint_data.q_d.push_back(100.0f * tag + static_cast<float>(i));
  }
  message.desired_joint_data.dq_d.assign(kJoints, 0.0f);
  message.desired_joint_data.tau_d.assign(kJoints, static_cast<float>(tag));
  message.cartesian_data.resize(2);
  for (auto& cartesian : message.cartesian_data) cartesian.tcp_pose_d[0] = tag;
  return message;
}

// The tag of the one basic message a states query was cut from, or -1 if the result mixes
// messages or is not what Basic() makes.
int StatesTag(const std::map<JointGroup, korvan::tyr::RobotStates>& states) {
  if (states.size() != 2) return -1;
  const int tag = states.begin()->second.timestamp.first;
  for (const auto& [group, record] : states) {
    const size_t start = group == JointGroup::ARM_1 ? 0 : 7;
    if (record.timestamp != std::pair<int32_t, int32_t>(tag, static_cast<int32_t>(4000000000u + tag)) ||
        record.q.size() != 7 || record.tcp_pose[0] != tag) {
      return -1;
    }
    for (size_t i = 0; i < 7; ++i) {
      if (record.q[i] != 100.0 * tag + static_cast<double>(start + i) ||
          record.temperature[i] != record.q[i]) {
        return -1;
      }
    }
  }
  return tag;
}

// Same for an actions query and its extra message.
int ActionsTag(const std::map<JointGroup, korvan::tyr::RobotActions>& actions) {
  if (actions.size() != 2) return -1;
  const int tag = static_cast<int>(actions.begin()->second.tcp_pose_d[0]);
  for (const auto& [group, record] : actions) {
    const size_t start = group == JointGroup::ARM_1 ? 0 : 7;
    if (record.q_d.size() != 7 || record.tcp_pose_d[0] != tag) return -1;
    for (size_t i = 0; i < 7; ++i) {
      if (record.q_d[i] != 100.0 * tag + static_cast<double>(start + i) || record.tau_d[i] != tag) {
        return -1;
      }
    }
  }
  return tag;
}

TEST(DataStreamUnstarted, AnswersFromDefaultMessages) {
  DataStream stream;
  EXPECT_FALSE(stream.EstopReleased());
  EXPECT_FALSE(stream.EnablingDeviceOn());
  EXPECT_EQ(stream.DigitalInputs(), (std::array<bool, 20>{}));
  EXPECT_EQ(stream.DigitalOutputs(), (std::array<bool, 20>{}));
  EXPECT_TRUE(stream.JointGroups().empty());
  EXPECT_TRUE(stream.SegmentStates({}, {}, {}).empty());
  EXPECT_TRUE(stream.SegmentActions({}, {}, {}).empty());
}

// A started DataStream fed by a peer that puts samples on command.
class DataStreamFed : public testing::Test {
 protected:
  void SetUp() override {
    peer_ = std::make_unique<MarkedPeer>();
    session_ = peer_->session();
    {
      LogCapture log;
      const KvnState state = stream_.Start(session_, kSerial);
      EXPECT_EQ(state.code, 100000);
      EXPECT_STREQ(state.category->name(), "General");
      EXPECT_EQ(log.At(spdlog::level::debug),
                (std::vector<std::string>{
                    "[korvan::tyr::Client] Creating subscriber on topic: " + kBasicKey,
                    "[korvan::tyr::Client] Creating subscriber on topic: " + kExtraKey}));
    }
    // Routes take a moment to reach the peer: repeat the first messages until they arrive.
    LogCapture quiet(spdlog::level::off);
    ASSERT_TRUE(RepeatUntil(kBasicKey, Hex(Basic(1)), [this] { return stream_.EstopReleased(); }))
        << "the peer's basic samples never arrived";
    ASSERT_TRUE(RepeatUntil(kExtraKey, Hex(Extra(1)), [this] {
      return ActionsTag(stream_.SegmentActions(kGroupNames, kStartIds, kDofs)) == 1;
    })) << "the peer's extra samples never arrived";
    ASSERT_TRUE(peer_->AwaitMarkers()) << "the peer's markers never arrived";
    Settle();
  }

  void TearDown() override { peer_.reset(); }

  template <class Condition>
  bool RepeatUntil(const std::string& key, const std::string& hex, Condition arrived) {
    return peer_->RepeatUntil(key, hex, arrived);
  }

  void Put(const std::string& key, const std::string& hex) { peer_->Put(key, hex); }

  // Returns once every sample put before has been handed over.
  void Settle() { peer_->Settle(); }

  void PutBasicAndSettle(const AllBasicStreamData& message) {
    Put(kBasicKey, Hex(message));
    Settle();
  }

  void ExpectFlagsAndIoOf(uint16_t tag) {
    const AllBasicStreamData expected = Basic(tag);
    EXPECT_EQ(stream_.EstopReleased(), expected.safety_io.estop_released) << "tag " << tag;
    EXPECT_EQ(stream_.EnablingDeviceOn(), expected.safety_io.enabling_device_on) << "tag " << tag;
    EXPECT_EQ(stream_.DigitalInputs(), expected.safety_io.digital_inputs) << "tag " << tag;
    EXPECT_EQ(stream_.DigitalOutputs(), expected.safety_io.digital_outputs) << "tag " << tag;
  }

  std::unique_ptr<MarkedPeer> peer_;
  std::shared_ptr<zenoh::Session> session_;
  // Last, so that it is destroyed first, while the session it subscribed on is still held.
  DataStream stream_;
};

TEST_F(DataStreamFed, QueriesAnswerFromTheLatestMessageOfEachStream) {
  ExpectFlagsAndIoOf(1);
  Put(kBasicKey, Hex(Basic(2)));
  Put(kBasicKey, Hex(Basic(3)));
  Put(kExtraKey, Hex(Extra(6)));
  PutBasicAndSettle(Basic(4));
  ExpectFlagsAndIoOf(4);
  EXPECT_EQ(StatesTag(stream_.SegmentStates(kGroupNames, kStartIds, kDofs)), 4);
  const auto actions = stream_.SegmentActions(kGroupNames, kStartIds, kDofs);
  EXPECT_EQ(ActionsTag(actions), 6);
  // The extra stream has no time stamp: actions carry the latest basic one.
  for (const auto& [group, record] : actions) {
    EXPECT_EQ(record.timestamp, std::make_pair(4, static_cast<int32_t>(4000000004u)));
  }

  // Only the basic stream changes: the actions keep the extra message, with the new time stamp.
  PutBasicAndSettle(Basic(5));
  ExpectFlagsAndIoOf(5);
  const auto later = stream_.SegmentActions(kGroupNames, kStartIds, kDofs);
  EXPECT_EQ(ActionsTag(later), 6);
  EXPECT_EQ(later.at(JointGroup::ARM_2).timestamp.first, 5);
}

TEST_F(DataStreamFed, SamplesThatFailToDecodeLeaveThePreviousMessagesInForce) {
  PutBasicAndSettle(Basic(2));
  std::vector<uint8_t> basic = Bytes(Basic(3));
  std::vector<uint8_t> extra = Bytes(Extra(3));
  std::vector<uint8_t> basic_too_long = basic;
  basic_too_long.push_back(0);
  std::vector<uint8_t> extra_too_long = extra;
  extra_too_long.push_back(0);
  // Cut inside the joint data, after the safety record: a decoder that applied what it had read
  // would change the flags.
  const std::vector<uint8_t> basic_cut(basic.begin(),
                                       basic.begin() + static_cast<long>(basic.size() / 2));
  const std::vector<uint8_t> extra_cut(extra.begin(), extra.end() - 1);

  for (const auto& bad : {basic_too_long, basic_cut, std::vector<uint8_t>{}}) {
    Put(kBasicKey, ToHex(bad));
  }
  for (const auto& bad : {extra_too_long, extra_cut, std::vector<uint8_t>{}}) {
    Put(kExtraKey, ToHex(bad));
  }
  Settle();
  ExpectFlagsAndIoOf(2);
  EXPECT_EQ(StatesTag(stream_.SegmentStates(kGroupNames, kStartIds, kDofs)), 2);
  EXPECT_EQ(ActionsTag(stream_.SegmentActions(kGroupNames, kStartIds, kDofs)), 1);

  // The subscriptions survive bad samples.
  Put(kExtraKey, ToHex(extra));
  PutBasicAndSettle(Basic(3));
  ExpectFlagsAndIoOf(3);
  EXPECT_EQ(ActionsTag(stream_.SegmentActions(kGroupNames, kStartIds, kDofs)), 3);
}

TEST_F(DataStreamFed, JointGroupsNameTheGroupsOfTheLatestMessage) {
  using Groups = std::map<JointGroup, std::string>;
  PutBasicAndSettle(Basic(2, {0, 3}));
  EXPECT_EQ(stream_.JointGroups(), (Groups{{JointGroup::ALL, "ALL"}, {JointGroup::ARM_1, "ARM_1"}}));
  PutBasicAndSettle(Basic(2, {4, 3, 4}));
  EXPECT_EQ(stream_.JointGroups(),
            (Groups{{JointGroup::ARM_1, "ARM_1"}, {JointGroup::ARM_2, "ARM_2"}}));
  PutBasicAndSettle(Basic(2, {2, 5}));
  EXPECT_EQ(stream_.JointGroups(),
            (Groups{{JointGroup::ARMS, "ARMS"}, {JointGroup::EXT_AXIS, "EXT_AXIS"}}));
  PutBasicAndSettle(Basic(2, {}));
  EXPECT_EQ(stream_.JointGroups(), Groups{});
}

TEST_F(DataStreamFed, JointGroupAboveFiveGivesOneErrorLineAndNoGroups) {
  PutBasicAndSettle(Basic(2, {3, 9}));
  LogCapture log;
  EXPECT_EQ(stream_.JointGroups(), (std::map<JointGroup, std::string>{}));
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, spdlog::level::err);
  EXPECT_EQ(lines[0].text,
            "[korvan::tyr::Client] The received basic data contains invalid joint group index [9]");
}

TEST_F(DataStreamFed, JointGroupWithoutANameThrowsOutOfRangeAndReleasesTheLock) {
  PutBasicAndSettle(Basic(2, {0, 1}));
  try {
    stream_.JointGroups();
    ADD_FAILURE() << "no std::out_of_range";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "map::at");  // the documented text, with either standard library
  }
  // The hand-over needs the basic mutex: a lock left held would stop the next sample here.
  PutBasicAndSettle(Basic(3, {3}));
  ExpectFlagsAndIoOf(3);
  EXPECT_EQ(stream_.JointGroups().size(), 1u);
}

TEST_F(DataStreamFed, StartingAgainReplacesTheSubscriptions) {
  ASSERT_EQ(stream_.Start(session_, kSerial).code, 100000);
  ASSERT_TRUE(RepeatUntil(kBasicKey, Hex(Basic(8)), [this] { return !stream_.EstopReleased(); }));
  Put(kExtraKey, Hex(Extra(8)));
  PutBasicAndSettle(Basic(8));
  EXPECT_EQ(StatesTag(stream_.SegmentStates(kGroupNames, kStartIds, kDofs)), 8);
  EXPECT_EQ(ActionsTag(stream_.SegmentActions(kGroupNames, kStartIds, kDofs)), 8);
}

// A query that finds the data inconsistent logs one line. While that write is blocked (an output
// nobody drains), samples of both streams still arrive and other threads' queries still answer
// with them. Query B reads only what it can answer without logging: a blocked writer would hold
// it up by the logger itself.
TEST_F(DataStreamFed, QueryStuckWritingItsLogLineHoldsUpNoSampleAndNoOtherQuery) {
  const std::map<JointGroup, std::string> arm_1{{JointGroup::ARM_1, "ARM_1"}};
  AllBasicStreamData short_joints = Basic(2);
  short_joints.joint_data.q.pop_back();
  AllExtraStreamData short_desired = Extra(2);
  short_desired.desired_joint_data.q_d.pop_back();
  auto flags_of_basic_3 = [](DataStream& stream) {
    return stream.EstopReleased() && !stream.EnablingDeviceOn() &&
           stream.DigitalInputs() == Basic(3).safety_io.digital_inputs;
  };

  struct Case {
    const char* name;
    std::string misfit_key, misfit;  // the message that makes query A log
    std::function<void(DataStream&)> query_a;
    std::string good_key, good;  // put while A is stuck
    std::function<bool(DataStream&)> b_sees_good;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"states, joints short", kBasicKey, Hex(short_joints),
       [](DataStream& stream) {
         EXPECT_TRUE(stream.SegmentStates(kGroupNames, kStartIds, kDofs).empty());
       },
       kBasicKey, Hex(Basic(3)), flags_of_basic_3,
       "[korvan::tyr::Client] Failed to segment full-DoF joint data for joint group [4]"},
      {"groups, number above five", kBasicKey, Hex(Basic(2, {3, 9})),
       [](DataStream& stream) { EXPECT_TRUE(stream.JointGroups().empty()); }, kBasicKey,
       Hex(Basic(3)), flags_of_basic_3,
       "[korvan::tyr::Client] The received basic data contains invalid joint group index [9]"},
      // The first arm still fits the short vectors: B's query has nothing to log.
      {"actions, desired joints short", kExtraKey, Hex(short_desired),
       [](DataStream& stream) {
         EXPECT_TRUE(stream.SegmentActions(kGroupNames, kStartIds, kDofs).empty());
       },
       kExtraKey, Hex(Extra(3)),
       [&arm_1](DataStream& stream) {
         const auto actions = stream.SegmentActions(arm_1, kStartIds, kDofs);
         return actions.count(JointGroup::ARM_1) == 1 &&
                actions.at(JointGroup::ARM_1).q_d ==
                    std::vector<double>{300, 301, 302, 303, 304, 305, 306};
       },
       "[korvan::tyr::Client] Failed to segment desired joint data for joint group [4]"},
  };

  for (const Case& c : cases) {
    Put(c.misfit_key, c.misfit);
    Settle();
    // Long enough for every wait below; a failing run ends when it passes.
    BlockingLog blocking(3 * kPatience);
    std::atomic<bool> a_returned{false};
    std::thread a([&] {
      c.query_a(stream_);
      a_returned = true;
    });
    const bool blocked = blocking.AwaitBlocked(kPatience);
    EXPECT_TRUE(blocked) << c.name << ": query A wrote no line";
    std::future<bool> b;  // outlives the release: a B held up ends only after it
    if (blocked) {
      Put(c.good_key, c.good);
      b = std::async(std::launch::async,
                     [&] { return WaitUntil([&] { return c.b_sees_good(stream_); }, kPatience); });
      const bool answered =
          b.wait_for(kPatience + std::chrono::seconds(2)) == std::future_status::ready && b.get();
      EXPECT_TRUE(answered) << c.name << ": no new sample reached query B";
      EXPECT_FALSE(a_returned) << c.name << ": query A was not held in the log write";
    }
    blocking.Release();
    a.join();
    if (b.valid()) b.wait();
    EXPECT_EQ(blocking.Lines(), (std::vector<korvan::test::LogLine>{{spdlog::level::err, c.line}}))
        << c.name;
    // Back to messages that fit, for the next case.
    Put(kExtraKey, Hex(Extra(1)));
    PutBasicAndSettle(Basic(1));
  }
}

TEST(DataStreamStart, RefusedKeyThrowsZException) {
  std::shared_ptr<zenoh::Session> session = AcquireSession();
  DataStream stream;
  EXPECT_THROW(stream.Start(session, "KV7-00#1"), zenoh::ZException);
  EXPECT_FALSE(stream.EstopReleased());
}

// Two messages per stream alternate at about 1 kHz each. With `bulk`, the basic messages carry
// that many unused triples, so that decoding a sample takes a while (some 36 kB at most: the
// payload travels as a command-line argument).
std::vector<std::string> AlternatingPublisher(size_t bulk = 0) {
  AllBasicStreamData first = Basic(1);
  AllBasicStreamData second = Basic(2);
  first.joint_data.aux_triples_1.assign(bulk, {1.0f, 2.0f, 3.0f});
  second.joint_data.aux_triples_1 = first.joint_data.aux_triples_1;
  return {"--publish", kBasicKey, Hex(first), "1", "--publish", kBasicKey, Hex(second), "1",
          "--publish", kExtraKey, Hex(Extra(1)), "1", "--publish", kExtraKey, Hex(Extra(2)), "1"};
}

TEST(DataStreamUnderLoad, ConcurrentQueriesEachSeeOneWholeMessage) {
  PeerProcess peer(AlternatingPublisher());
  std::shared_ptr<zenoh::Session> session = AcquireSession();
  // Segmentation complains until both streams have delivered.
  LogCapture quiet(spdlog::level::off);
  DataStream stream;
  stream.Start(session, kSerial);

  constexpr int kThreads = 4;
  std::atomic<int> torn{0};
  std::atomic<bool> stop{false};
  // Per thread: which tags its states and actions queries saw.
  std::vector<std::array<std::atomic<int>, 3>> states_seen(kThreads);
  std::vector<std::array<std::atomic<int>, 3>> actions_seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!stop) {
        const bool estop = stream.EstopReleased();
        const std::array<bool, 20> inputs = stream.DigitalInputs();
        const std::array<bool, 20> outputs = stream.DigitalOutputs();
        (void)estop;
        (void)stream.EnablingDeviceOn();
        if (std::adjacent_find(inputs.begin(), inputs.end(), std::not_equal_to<>()) !=
                inputs.end() ||
            std::adjacent_find(outputs.begin(), outputs.end(), std::not_equal_to<>()) !=
                outputs.end()) {
          ++torn;
        }
        const auto groups = stream.JointGroups();
        if (!groups.empty() && groups.size() != 2) ++torn;
        const auto states = stream.SegmentStates(kGroupNames, kStartIds, kDofs);
        if (!states.empty()) {
          const int tag = StatesTag(states);
          if (tag < 1 || tag > 2) ++torn; else ++states_seen[t][tag];
        }
        const auto actions = stream.SegmentActions(kGroupNames, kStartIds, kDofs);
        if (!actions.empty()) {
          const int tag = ActionsTag(actions);
          if (tag < 1 || tag > 2) ++torn; else ++actions_seen[t][tag];
        }
      }
    });
  }
  // Run until every thread has seen both messages of both streams a few times.
  const bool varied = WaitUntil([&] {
    for (int t = 0; t < kThreads; ++t) {
      for (int tag : {1, 2}) {
        if (states_seen[t][tag] < 20 || actions_seen[t][tag] < 20) return false;
      }
    }
    return true;
  }, std::chrono::seconds(30));
  stop = true;
  for (std::thread& thread : threads) thread.join();
  EXPECT_TRUE(varied) << "the queries did not see the messages alternate";
  EXPECT_EQ(torn, 0);
}

TEST(DataStreamUnderLoad, DestroyedWhileSamplesArriveNothingTouchesItAfterwards) {
  // Long decodes make it likely that one is under way whenever a DataStream is destroyed.
  PeerProcess peer(AlternatingPublisher(3000));
  std::shared_ptr<zenoh::Session> session = AcquireSession();
  // Segmentation complains until both streams have delivered.
  LogCapture quiet(spdlog::level::off);

  // Each DataStream lives in storage of its own that the test keeps and overwrites with a pattern
  // after destruction: a handler still running (or called later) would write into it or crash.
  constexpr int kIterations = 60;
  constexpr unsigned char kPattern = 0xa5;
  struct Storage {
    alignas(DataStream) unsigned char bytes[sizeof(DataStream)];
  };
  std::vector<std::unique_ptr<Storage>> storages;
  for (int iteration = 0; iteration < kIterations; ++iteration) {
    storages.push_back(std::make_unique<Storage>());
    auto* stream = new (storages.back()->bytes) DataStream();
    stream->Start(session, kSerial);
    // Generous: under a sanitizer, reporting can stall Zenoh's threads for seconds.
    const bool flowing = WaitUntil(
        [&] {
          return StatesTag(stream->SegmentStates(kGroupNames, kStartIds, kDofs)) > 0 &&
                 ActionsTag(stream->SegmentActions(kGroupNames, kStartIds, kDofs)) > 0;
        },
        std::chrono::seconds(60));
    stream->~DataStream();
    std::memset(storages.back()->bytes, kPattern, sizeof(DataStream));
    ASSERT_TRUE(flowing) << "iteration " << iteration;
  }

  // Let samples in flight drain: once a fresh DataStream has taken many more, anything still
  // queued for an earlier one would have been delivered.
  {
    DataStream last;
    last.Start(session, kSerial);
    int changes = 0;
    int previous = 0;
    EXPECT_TRUE(WaitUntil([&] {
      const int tag = StatesTag(last.SegmentStates(kGroupNames, kStartIds, kDofs));
      if (tag > 0 && tag != previous) {
        ++changes;
        previous = tag;
      }
      return changes >= 20;
    }, kPatience));
  }
  for (size_t i = 0; i < storages.size(); ++i) {
    const unsigned char* bytes = storages[i]->bytes;
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof(DataStream),
                            [](unsigned char byte) { return byte == kPattern; }))
        << "iteration " << i;
  }
}

}  // namespace
