#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "korvantyr/korvantyr.h"

namespace {

using korvan::tyr::JointGroup;
using korvan::tyr::kJointGroupNames;
using korvan::tyr::PlanInfo;
using korvan::tyr::PrimitiveStates;
using korvan::tyr::RobotActions;
using korvan::tyr::RobotStates;

// Default-initialises a T (`new T`, no parentheses) in storage filled with a non-zero pattern, so
// that a field left without an initialiser shows up as garbage instead of a lucky zero.
template <typename T>
class DirtyStorage {
 public:
  DirtyStorage() {
    std::memset(storage_, 0xA5, sizeof(storage_));
    object_ = new (storage_) T;
  }
  ~DirtyStorage() { object_->~T(); }
  DirtyStorage(const DirtyStorage&) = delete;
  DirtyStorage& operator=(const DirtyStorage&) = delete;
  const T& operator*() const { return *object_; }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
  T* object_;
};

template <typename Array>
bool AllZero(const Array& values) {
  for (double value : values) {
    if (value != 0.0) return false;
  }
  return true;
}

TEST(DefaultRecords, RobotStatesHasZeroTimestampEmptyJointsAndZeroArrays) {
  const DirtyStorage<RobotStates> dirty;
  const RobotStates& s = *dirty;
  EXPECT_EQ(s.timestamp.first, 0);
  EXPECT_EQ(s.timestamp.second, 0);
  for (const std::vector<double>* joints : {&s.q, &s.theta, &s.dq, &s.dtheta, &s.tau, &s.tau_dot,
                                            &s.tau_ext, &s.tau_interact, &s.temperature}) {
    EXPECT_TRUE(joints->empty());
  }
  EXPECT_TRUE(AllZero(s.flange_pose));
  EXPECT_TRUE(AllZero(s.tcp_pose));
  EXPECT_TRUE(AllZero(s.tcp_twist));
  EXPECT_TRUE(AllZero(s.tcp_wrench));
  EXPECT_TRUE(AllZero(s.tcp_wrench_local));
  EXPECT_TRUE(AllZero(s.raw_tcp_wrench));
  EXPECT_TRUE(AllZero(s.raw_tcp_wrench_local));
  EXPECT_TRUE(AllZero(s.raw_ft_sensor));
}

TEST(DefaultRecords, RobotActionsHasZeroTimestampEmptyJointsAndZeroArrays) {
  const DirtyStorage<RobotActions> dirty;
  const RobotActions& a = *dirty;
  EXPECT_EQ(a.timestamp, std::make_pair(0, 0));
  EXPECT_TRUE(a.q_d.empty());
  EXPECT_TRUE(a.dq_d.empty());
  EXPECT_TRUE(a.tau_d.empty());
  EXPECT_TRUE(AllZero(a.tcp_pose_d));
  EXPECT_TRUE(AllZero(a.tcp_twist_d));
  EXPECT_TRUE(AllZero(a.tcp_wrench_d));
}

TEST(DefaultRecords, PlanInfoHasEmptyTextsZeroScaleAndNotWaiting) {
  const DirtyStorage<PlanInfo> dirty;
  const PlanInfo& p = *dirty;
  for (const std::string* text : {&p.pt_name, &p.node_name, &p.node_path, &p.node_path_time_period,
                                  &p.node_path_number, &p.assigned_plan_name}) {
    EXPECT_TRUE(text->empty());
  }
  EXPECT_EQ(p.velocity_scale, 0.0);
  // Read the byte: an indeterminate bool may well test as false.
  unsigned char waiting_byte = 0xFF;
  std::memcpy(&waiting_byte, &p.waiting_for_step, 1);
  EXPECT_EQ(waiting_byte, 0);
}

TEST(DefaultRecords, PrimitiveStatesIsEmpty) {
  const PrimitiveStates p;
  EXPECT_TRUE(p.pt_name.empty());
  EXPECT_TRUE(p.names_and_values.empty());
}

TEST(PrimitiveStatesValues, KeepTheirAlternativeSideBySideAndWhenCopied) {
  PrimitiveStates original;
  original.names_and_values["count"] = int32_t{7};
  original.names_and_values["ratio"] = 2.5;
  original.names_and_values["mode"] = std::string("idle");

  PrimitiveStates copy = original;
  original.names_and_values["mode"] = std::string("changed");

  ASSERT_EQ(copy.names_and_values.size(), 3u);
  EXPECT_EQ(std::get<int32_t>(copy.names_and_values.at("count")), 7);
  EXPECT_EQ(std::get<double>(copy.names_and_values.at("ratio")), 2.5);
  EXPECT_EQ(std::get<std::string>(copy.names_and_values.at("mode")), "idle");
}

TEST(JointGroupNames, HasOneEntryPerEnumeratorSpelledLikeIt) {
  const std::map<JointGroup, std::string> expected{
      {JointGroup::UNKNOWN, "UNKNOWN"}, {JointGroup::ALL, "ALL"},
      {JointGroup::ARMS, "ARMS"},       {JointGroup::ARM_1, "ARM_1"},
      {JointGroup::ARM_2, "ARM_2"},     {JointGroup::EXT_AXIS, "EXT_AXIS"},
  };
  EXPECT_EQ(kJointGroupNames, expected);
}

TEST(JointGroupNames, LookUpOfTheGapValueThrowsAndInsertsNothing) {
  EXPECT_THROW(kJointGroupNames.at(static_cast<JointGroup>(1)), std::out_of_range);
  EXPECT_THROW(kJointGroupNames.at(static_cast<JointGroup>(6)), std::out_of_range);
  EXPECT_EQ(kJointGroupNames.size(), 6u);
}

TEST(JointGroupNames, MinusOneIsUnknown) {
  EXPECT_EQ(kJointGroupNames.at(static_cast<JointGroup>(-1)), "UNKNOWN");
}

TEST(JointGroupNames, IterateInAscendingValue) {
  std::vector<int32_t> values;
  for (const auto& entry : kJointGroupNames) values.push_back(static_cast<int32_t>(entry.first));
  EXPECT_EQ(values, (std::vector<int32_t>{-1, 0, 2, 3, 4, 5}));
}

TEST(PerGroupMaps, VisitAllBeforeArmsArm1Arm2AndExtAxis) {
  std::map<JointGroup, RobotStates> by_group;
  for (JointGroup group : {JointGroup::EXT_AXIS, JointGroup::ARM_2, JointGroup::ARM_1,
                           JointGroup::ARMS, JointGroup::ALL}) {
    by_group[group] = RobotStates{};
  }
  std::vector<JointGroup> order;
  for (const auto& entry : by_group) order.push_back(entry.first);
  EXPECT_EQ(order, (std::vector<JointGroup>{JointGroup::ALL, JointGroup::ARMS, JointGroup::ARM_1,
                                            JointGroup::ARM_2, JointGroup::EXT_AXIS}));
}

}  // namespace
