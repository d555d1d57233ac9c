// Joint-group segmentation: slices of the robot-wide vectors, Cartesian records per message
// position, world-frame wrenches, and one error line plus an empty result for each inconsistency.

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "stream/segmentation.h"
#include "support/log_capture.h"

namespace {

using korvan::tyr::JointGroup;
using korvan::tyr::RobotActions;
using korvan::tyr::RobotStates;
using korvan::tyr_impl::SegmentActions;
using korvan::tyr_impl::SegmentStates;
using korvan::test::LogCapture;
using namespace korvan::zenoh_msgs::tyr_msg;
using Lines = std::vector<std::string>;
using Stamp = std::pair<int32_t, int32_t>;

Lines Error(const std::string& text) { return {"error|[korvan::tyr::Client] " + text}; }
std::string Missing(int g) {
  return "Missing start ID or DoF metadata for joint group [" + std::to_string(g) + "]";
}
std::string FullDof(int g) {
  return "Failed to segment full-DoF joint data for joint group [" + std::to_string(g) + "]";
}
std::string Desired(int g) {
  return "Failed to segment desired joint data for joint group [" + std::to_string(g) + "]";
}

struct Metadata {
  std::map<JointGroup, std::string> names;
  std::map<JointGroup, int32_t> start_ids;
  std::map<JointGroup, uint64_t> dofs;
  void Add(int group, int32_t start, uint64_t dof) {
    names[JointGroup(group)] = "group";
    start_ids[JointGroup(group)] = start;
    dofs[JointGroup(group)] = dof;
  }
};

// Two 7-DoF arms and two external axes: 16 joints in the robot-wide vectors.
constexpr std::size_t kJoints = 16;
Metadata TwoArmsAndAxes() {
  Metadata meta;
  meta.Add(3, 0, 7);
  meta.Add(4, 7, 7);
  meta.Add(5, 14, 2);
  return meta;
}

template <typename From, typename To>
struct Field {
  const char* name;
  std::vector<float> From::*from;
  std::vector<double> To::*to;
};
const Field<JointStateData, RobotStates> kStateFields[] = {
    {"q", &JointStateData::q, &RobotStates::q},
    {"theta", &JointStateData::theta, &RobotStates::theta},
    {"dq", &JointStateData::dq, &RobotStates::dq},
    {"dtheta", &JointStateData::dtheta, &RobotStates::dtheta},
    {"tau", &JointStateData::tau, &RobotStates::tau},
    {"tau_dot", &JointStateData::tau_dot, &RobotStates::tau_dot},
    {"tau_ext", &JointStateData::tau_ext, &RobotStates::tau_ext},
    {"tau_interact", &JointStateData::tau_interact, &RobotStates::tau_interact},
    {"temperature", &JointStateData::temperature, &RobotStates::temperature}};
const Field<DesiredJointData, RobotActions> kActionFields[] = {
    {"q_d", &DesiredJointData::q_d, &RobotActions::q_d},
    {"dq_d", &DesiredJointData::dq_d, &RobotActions::dq_d},
    {"tau_d", &DesiredJointData::tau_d, &RobotActions::tau_d}};

// Element j of robot-wide vector k is 100 k + j + 0.25 (exact in float and double), so a slice of
// the wrong vector or at the wrong offset shows.
double Value(std::size_t k, std::size_t joint) { return 100.0 * k + joint + 0.25; }

template <typename From, typename To, std::size_t K>
void FillJoints(From& joints, const Field<From, To> (&fields)[K], std::size_t length) {
  for (std::size_t k = 0; k < K; ++k) {
    auto& values = joints.*(fields[k].from);
    for (std::size_t j = 0; j < length; ++j) values.push_back(static_cast<float>(Value(k, j)));
  }
}

template <typename Record, typename From, std::size_t K>
void ExpectSlices(const Record& record, const Field<From, Record> (&fields)[K], uint32_t start,
                  std::size_t dof) {
  for (std::size_t k = 0; k < K; ++k) {
    const auto& values = record.*(fields[k].to);
    ASSERT_EQ(values.size(), dof) << fields[k].name;
    for (std::size_t j = 0; j < dof; ++j)
      EXPECT_EQ(values[j], Value(k, start + j)) << fields[k].name;
  }
}

template <std::size_t N>
std::array<float, N> Counting(float base) {
  std::array<float, N> values{};
  for (std::size_t i = 0; i < N; ++i) values[i] = base + static_cast<float>(i) + 0.5f;
  return values;
}

template <std::size_t N>
std::array<double, N> Wide(const std::array<float, N>& from) {
  std::array<double, N> to{};
  std::copy(from.begin(), from.end(), to.begin());
  return to;
}

// Identity TCP orientation, so the world wrenches equal the local ones; the flange's half turn
// must not be used.
AllBasicStreamData Basic(std::size_t joints, const std::vector<uint16_t>& groups) {
  AllBasicStreamData basic;
  FillJoints(basic.joint_data, kStateFields, joints);
  basic.joint_group_indices = groups;
  for (std::size_t i = 0; i < groups.size(); ++i) {
    const float b = 1000.0f * static_cast<float>(i + 1);
    CartesianStateData c;
    c.flange_pose = {b, b + 1, b + 2, 0, 1, 0, 0};
    c.tcp_pose = {b + 10, b + 11, b + 12, 1, 0, 0, 0};
    c.tcp_twist = Counting<6>(b + 20);
    c.tcp_wrench_local = Counting<6>(b + 30);
    c.aux_array6 = Counting<6>(b + 40);
    c.raw_tcp_wrench_local = Counting<6>(b + 50);
    c.raw_ft_sensor = Counting<6>(b + 60);
    basic.cartesian_data.push_back(c);
  }
  basic.timestamp = {1234, 5678};
  return basic;
}

// The desired pose carries a half turn that must not rotate anything.
AllExtraStreamData Extra(std::size_t joints, const std::vector<uint16_t>& groups) {
  AllExtraStreamData extra;
  FillJoints(extra.desired_joint_data, kActionFields, joints);
  extra.joint_group_indices = groups;
  for (std::size_t i = 0; i < groups.size(); ++i) {
    const float b = 1000.0f * static_cast<float>(i + 1);
    extra.cartesian_data.push_back(
        {{b, b + 1, b + 2, 0, 0, 0, 1}, Counting<6>(b + 10), Counting<6>(b + 20)});
  }
  return extra;
}

void ExpectCartesian(const CartesianStateData& c, const RobotStates& r) {
  EXPECT_EQ(r.flange_pose, Wide(c.flange_pose));
  EXPECT_EQ(r.tcp_pose, Wide(c.tcp_pose));
  EXPECT_EQ(r.tcp_twist, Wide(c.tcp_twist));
  EXPECT_EQ(r.tcp_wrench_local, Wide(c.tcp_wrench_local));
  EXPECT_EQ(r.tcp_wrench, Wide(c.tcp_wrench_local));
  EXPECT_EQ(r.raw_tcp_wrench_local, Wide(c.raw_tcp_wrench_local));
  EXPECT_EQ(r.raw_tcp_wrench, Wide(c.raw_tcp_wrench_local));
  EXPECT_EQ(r.raw_ft_sensor, Wide(c.raw_ft_sensor));
}

void ExpectDesired(const DesiredCartesianData& c, const RobotActions& r) {
  EXPECT_EQ(r.tcp_pose_d, Wide(c.tcp_pose_d));
  EXPECT_EQ(r.tcp_twist_d, Wide(c.tcp_twist_d));
  EXPECT_EQ(r.tcp_wrench_d, Wide(c.tcp_wrench_d));
}

template <typename Record>
std::vector<int> Keys(const std::map<JointGroup, Record>& result) {
  std::vector<int> keys;
  for (const auto& entry : result) keys.push_back(static_cast<int>(entry.first));
  return keys;
}

TEST(SegmentStates, SlicesEveryJointVectorPerGroupAndAttachesCartesianRecords) {
  LogCapture log;
  const Metadata meta = TwoArmsAndAxes();
  AllBasicStreamData basic = Basic(kJoints, {3, 4, 5});
  basic.timestamp = {-5, 0xFFFFFFFEu};  // the unsigned half is kept bit for bit

  const auto result = SegmentStates(basic, meta.names, meta.start_ids, meta.dofs);

  EXPECT_EQ(log.Tagged(), Lines{});
  ASSERT_EQ(Keys(result), (std::vector<int>{3, 4, 5}));
  std::size_t position = 0;
  for (const auto& [group, record] : result) {
    SCOPED_TRACE(static_cast<int>(group));
    EXPECT_EQ(record.timestamp, Stamp(-5, -2));
    ExpectSlices(record, kStateFields, meta.start_ids.at(group), meta.dofs.at(group));
    ExpectCartesian(basic.cartesian_data[position++], record);
  }
}

// Each case spoils a good message or the metadata; the first failing test names its group.
struct StatesErrorCase {
  const char* name;
  std::function<void(AllBasicStreamData&, Metadata&)> spoil;
  Lines lines;
};

TEST(SegmentStates, InconsistencyLogsOneErrorAndYieldsNothing) {
  const auto u64max = std::numeric_limits<uint64_t>::max();
  const StatesErrorCase cases[] = {
      {"RecordMissing", [](auto& b, auto&) { b.cartesian_data.pop_back(); },
       Error("The received data has mismatched sizes: cartesian_data size is 2, expected number "
             "of joint groups is 3")},
      {"RecordExtra", [](auto& b, auto&) { b.cartesian_data.emplace_back(); },
       Error("The received data has mismatched sizes: cartesian_data size is 4, expected number "
             "of joint groups is 3")},
      {"MismatchBeforeMetadata",
       [](auto& b, auto& m) {
         b.cartesian_data.pop_back();
         m.dofs.erase(JointGroup::ARM_1);
       },
       Error("The received data has mismatched sizes: cartesian_data size is 2, expected number "
             "of joint groups is 3")},
      {"NoStartIndex", [](auto&, auto& m) { m.start_ids.erase(JointGroup::ARM_2); },
       Error(Missing(4))},
      {"NoDof", [](auto&, auto& m) { m.dofs.erase(JointGroup::EXT_AXIS); }, Error(Missing(5))},
      {"LowestMissingNamed",
       [](auto&, auto& m) {
         m.start_ids.erase(JointGroup::EXT_AXIS);
         m.dofs.erase(JointGroup::ARM_1);
       },
       Error(Missing(3))},
      {"QTooShortForTwoGroups", [](auto& b, auto&) { b.joint_data.q.resize(13); },
       Error(FullDof(4))},
      {"NegativeStart", [](auto&, auto& m) { m.start_ids[JointGroup::EXT_AXIS] = -1; },
       Error(FullDof(5))},
      {"MostNegativeStart",
       [](auto&, auto& m) { m.start_ids[JointGroup::ARM_1] = std::numeric_limits<int32_t>::min(); },
       Error(FullDof(3))},
      // 0xFFFFFFF9 + 10 is 3 in 32 bits.
      {"StartWrapsIn32Bits",
       [](auto&, auto& m) {
         m.start_ids[JointGroup::EXT_AXIS] = -7;
         m.dofs[JointGroup::EXT_AXIS] = 10;
       },
       Error(FullDof(5))},
      // 14 + 0xFFFFFFFC is 10 in 32 bits.
      {"DofWrapsIn32Bits", [](auto&, auto& m) { m.dofs[JointGroup::EXT_AXIS] = 0xFFFFFFFCu; },
       Error(FullDof(5))},
      // 7 + 2^64 - 1 is 6 in 64 bits.
      {"DofWrapsIn64Bits", [u64max](auto&, auto& m) { m.dofs[JointGroup::ARM_2] = u64max; },
       Error(FullDof(4))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    AllBasicStreamData basic = Basic(kJoints, {3, 4, 5});
    Metadata meta = TwoArmsAndAxes();
    c.spoil(basic, meta);
    EXPECT_TRUE(SegmentStates(basic, meta.names, meta.start_ids, meta.dofs).empty());
    EXPECT_EQ(log.Tagged(), c.lines);
  }
  for (const auto& field : kStateFields) {
    SCOPED_TRACE(field.name);
    LogCapture log;
    AllBasicStreamData basic = Basic(kJoints, {3, 4, 5});
    (basic.joint_data.*field.from).pop_back();
    const Metadata meta = TwoArmsAndAxes();
    EXPECT_TRUE(SegmentStates(basic, meta.names, meta.start_ids, meta.dofs).empty());
    EXPECT_EQ(log.Tagged(), Error(FullDof(5)));
  }
}

TEST(SegmentStates, GroupWithoutJointsGetsEmptyVectorsWhereverItsStartPoints) {
  LogCapture log;
  Metadata meta;
  meta.Add(0, -1, 0);
  meta.Add(3, 100, 0);
  const auto result = SegmentStates(AllBasicStreamData{}, meta.names, meta.start_ids, meta.dofs);
  EXPECT_EQ(log.Tagged(), Lines{});
  ASSERT_EQ(Keys(result), (std::vector<int>{0, 3}));
  for (const auto& entry : result) ExpectSlices(entry.second, kStateFields, 0, 0);
}

TEST(SegmentStates, GroupsOnlyInTheMessageGetCartesianValuesAndRepeatsKeepTheLast) {
  LogCapture log;
  Metadata meta;
  meta.Add(3, 0, 7);
  // 5 is a group the client did not learn, 9 is out of range: neither is checked here.
  const AllBasicStreamData basic = Basic(kJoints, {5, 3, 9, 3});

  const auto result = SegmentStates(basic, meta.names, meta.start_ids, meta.dofs);

  EXPECT_EQ(log.Tagged(), Lines{});
  ASSERT_EQ(Keys(result), (std::vector<int>{3, 5, 9}));
  ExpectSlices(result.at(JointGroup::ARM_1), kStateFields, 0, 7);
  ExpectCartesian(basic.cartesian_data[3], result.at(JointGroup::ARM_1));
  for (const auto& [group, position] : {std::pair<int, std::size_t>{5, 0}, {9, 2}}) {
    const RobotStates& record = result.at(JointGroup(group));
    EXPECT_EQ(record.timestamp, Stamp(0, 0));
    ExpectSlices(record, kStateFields, 0, 0);
    ExpectCartesian(basic.cartesian_data[position], record);
  }
}

struct RotationCase {
  const char* name;
  std::array<float, 4> wxyz;  // tcp_pose[3..6]
  std::array<float, 6> local;
  std::array<double, 6> world;
  bool exact;  // no matrix entry is rounded
};

TEST(SegmentStates, RotatesBothLocalWrenchesByTheTcpOrientation) {
  const float h = static_cast<float>(std::sqrt(2.0) / 2.0);
  const RotationCase cases[] = {
      {"Identity", {1, 0, 0, 0}, {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}, true},
      {"HalfTurnAboutZ", {0, 0, 0, 1}, {1, 2, 3, 4, 5, 6}, {-1, -2, 3, -4, -5, 6}, true},
      {"QuarterTurnAboutZ", {h, 0, 0, h}, {1, 0, 0, 0, 1, 0}, {0, 1, 0, -1, 0, 0}, false},
      {"ThirdTurnAboutDiagonal",
       {.5f, .5f, .5f, .5f},
       {1, 2, 3, 4, 5, 6},
       {3, 1, 2, 6, 4, 5},
       true},
      {"ScaledIdentity", {2, 0, 0, 0}, {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}, true},
      {"ScaledHalfTurn", {0, 0, 0, 2}, {1, 2, 3, 4, 5, 6}, {-1, -2, 3, -4, -5, 6}, true},
      {"ScaledThirdTurn", {3, 3, 3, 3}, {1, 2, 3, 4, 5, 6}, {3, 1, 2, 6, 4, 5}, true},
      {"ZeroQuaternion", {0, 0, 0, 0}, {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}, true},
  };
  Metadata meta;
  meta.Add(3, 0, 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AllBasicStreamData basic = Basic(0, {3});
    CartesianStateData& cart = basic.cartesian_data[0];
    std::copy(c.wxyz.begin(), c.wxyz.end(), cart.tcp_pose.begin() + 3);
    cart.tcp_wrench_local = c.local;
    // The raw wrench holds the two triples swapped, so each triple is checked in both places.
    std::rotate_copy(c.local.begin(), c.local.begin() + 3, c.local.end(),
                     cart.raw_tcp_wrench_local.begin());
    std::array<double, 6> raw_world{};
    std::rotate_copy(c.world.begin(), c.world.begin() + 3, c.world.end(), raw_world.begin());

    const auto result = SegmentStates(basic, meta.names, meta.start_ids, meta.dofs);

    ASSERT_EQ(result.size(), 1u);
    const RobotStates& r = result.at(JointGroup::ARM_1);
    EXPECT_EQ(r.tcp_wrench_local, Wide(c.local));
    EXPECT_EQ(r.tcp_pose, Wide(cart.tcp_pose));
    for (std::size_t i = 0; i < 6; ++i) {
      for (const auto& [got, want] :
           {std::pair{r.tcp_wrench[i], c.world[i]}, std::pair{r.raw_tcp_wrench[i], raw_world[i]}}) {
        if (c.exact) {
          EXPECT_EQ(got, want) << i;
        } else if (want == 0.0) {
          EXPECT_NEAR(got, 0.0, 4 * DBL_EPSILON) << i;  // rounding residue of the matrix
        } else {
          EXPECT_DOUBLE_EQ(got, want) << i;
        }
      }
    }
  }
}

TEST(SegmentActions, SlicesDesiredVectorsWithTheBasicTimestampAndCopiesCartesianUnrotated) {
  LogCapture log;
  const Metadata meta = TwoArmsAndAxes();
  const AllExtraStreamData extra = Extra(kJoints, {3, 4, 5});

  const auto result =
      SegmentActions({-5, 0xFFFFFFFEu}, extra, meta.names, meta.start_ids, meta.dofs);

  EXPECT_EQ(log.Tagged(), Lines{});
  ASSERT_EQ(Keys(result), (std::vector<int>{3, 4, 5}));
  std::size_t position = 0;
  for (const auto& [group, record] : result) {
    SCOPED_TRACE(static_cast<int>(group));
    EXPECT_EQ(record.timestamp, Stamp(-5, -2));
    ExpectSlices(record, kActionFields, meta.start_ids.at(group), meta.dofs.at(group));
    ExpectDesired(extra.cartesian_data[position++], record);
  }
}

struct ActionsErrorCase {
  const char* name;
  std::function<void(AllExtraStreamData&, Metadata&)> spoil;
  Lines lines;
};

TEST(SegmentActions, InconsistencyLogsOneErrorAndYieldsNothing) {
  const ActionsErrorCase cases[] = {
      {"BeforeAnyExtraSample",
       [](auto& e, auto& m) {
         e = AllExtraStreamData{};
         m.Add(0, 0, 0);  // no joints: its empty slice succeeds
       },
       Error(Desired(3))},
      {"QdOneShort", [](auto& e, auto&) { e.desired_joint_data.q_d.pop_back(); },
       Error(Desired(5))},
      {"DqdOneShort", [](auto& e, auto&) { e.desired_joint_data.dq_d.pop_back(); },
       Error(Desired(5))},
      {"TaudOneShort", [](auto& e, auto&) { e.desired_joint_data.tau_d.pop_back(); },
       Error(Desired(5))},
      {"RecordMissing", [](auto& e, auto&) { e.cartesian_data.pop_back(); },
       Error("The received desired data has mismatched sizes: cartesian_data size is 2, expected "
             "number of joint groups is 3")},
      {"NoStartIndex", [](auto&, auto& m) { m.start_ids.erase(JointGroup::ARM_2); },
       Error(Missing(4))},
      {"NegativeStart", [](auto&, auto& m) { m.start_ids[JointGroup::ARM_2] = -1; },
       Error(Desired(4))},
      {"StartWrapsIn32Bits",
       [](auto&, auto& m) {
         m.start_ids[JointGroup::EXT_AXIS] = -7;
         m.dofs[JointGroup::EXT_AXIS] = 10;
       },
       Error(Desired(5))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    AllExtraStreamData extra = Extra(kJoints, {3, 4, 5});
    Metadata meta = TwoArmsAndAxes();
    c.spoil(extra, meta);
    EXPECT_TRUE(SegmentActions({1, 2}, extra, meta.names, meta.start_ids, meta.dofs).empty());
    EXPECT_EQ(log.Tagged(), c.lines);
  }
}

TEST(SegmentActions, BeforeAnyExtraSampleGroupsWithoutJointsGetOnlyTheTimestamp) {
  LogCapture log;
  Metadata meta;
  meta.Add(3, 0, 0);
  meta.Add(4, 7, 0);
  const auto result =
      SegmentActions({7, 8}, AllExtraStreamData{}, meta.names, meta.start_ids, meta.dofs);
  EXPECT_EQ(log.Tagged(), Lines{});
  ASSERT_EQ(Keys(result), (std::vector<int>{3, 4}));
  for (const auto& entry : result) {
    RobotActions expected;
    expected.timestamp = {7, 8};
    ExpectSlices(entry.second, kActionFields, 0, 0);
    EXPECT_EQ(entry.second.timestamp, expected.timestamp);
    EXPECT_EQ(entry.second.tcp_pose_d, expected.tcp_pose_d);
    EXPECT_EQ(entry.second.tcp_wrench_d, expected.tcp_wrench_d);
  }
}

TEST(SegmentActions, GroupOnlyInTheMessageHasTimestampZeroAndRepeatsKeepTheLast) {
  LogCapture log;
  Metadata meta;
  meta.Add(3, 0, 7);
  const AllExtraStreamData extra = Extra(kJoints, {5, 3, 5});

  const auto result = SegmentActions({1, 2}, extra, meta.names, meta.start_ids, meta.dofs);

  EXPECT_EQ(log.Tagged(), Lines{});
  ASSERT_EQ(Keys(result), (std::vector<int>{3, 5}));
  EXPECT_EQ(result.at(JointGroup::ARM_1).timestamp, Stamp(1, 2));
  ExpectDesired(extra.cartesian_data[1], result.at(JointGroup::ARM_1));
  EXPECT_EQ(result.at(JointGroup::EXT_AXIS).timestamp, Stamp(0, 0));
  ExpectSlices(result.at(JointGroup::EXT_AXIS), kActionFields, 0, 0);
  ExpectDesired(extra.cartesian_data[2], result.at(JointGroup::EXT_AXIS));
}

}  // namespace
