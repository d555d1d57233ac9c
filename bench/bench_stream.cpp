// The stream path's per-sample work, for two robots: decoding one AllBasicStreamData and one
// AllExtraStreamData (what a subscription does on a Zenoh thread), the copy a basic hand-over makes,
// and SegmentStates / SegmentActions (what a states or actions query does under the stream's mutex).
// Each benchmark reports "allocs/op", the heap allocations (operator new calls) per iteration,
// counted by the replacement operator new below.

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "korvantyr/korvantyr.h"
#include "messages/stream_messages.h"
#include "middleware/zenoh.h"
#include "stream/segmentation.h"

namespace {

std::atomic<uint64_t> g_allocations{0};

}  // namespace

// GCC pairs the inlined free() below with the operator new it sees at a call site and warns; the
// pair is matched here by construction (every block comes from malloc).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
#pragma GCC diagnostic pop

namespace {

using korvan::tyr::JointGroup;
namespace msg = korvan::zenoh_msgs::tyr_msg;

// A robot's joint groups as the client learns them at start-up.
struct Robot {
  std::string label;
  size_t joints;
  std::map<JointGroup, std::string> group_names;
  std::map<JointGroup, int32_t> start_ids;
  std::map<JointGroup, uint64_t> dofs;
};

// Two arms of `arm` joints each and `external` external axes, with all five groups.
Robot DualArmWithExternalAxes(const std::string& label, uint64_t arm, uint64_t external) {
  Robot robot{label, static_cast<size_t>(2 * arm + external), {}, {}, {}};
  const std::vector<std::pair<JointGroup, std::pair<int32_t, uint64_t>>> groups = {
      {JointGroup::ALL, {0, 2 * arm + external}},
      {JointGroup::ARMS, {0, 2 * arm}},
      {JointGroup::ARM_1, {0, arm}},
      {JointGroup::ARM_2, {static_cast<int32_t>(arm), arm}},
      {JointGroup::EXT_AXIS, {static_cast<int32_t>(2 * arm), external}},
  };
  for (const auto& [group, range] : groups) {
    robot.group_names.emplace(group, korvan::tyr::kJointGroupNames.at(group));
    robot.start_ids.emplace(group, range.first);
    robot.dofs.emplace(group, range.second);
  }
  return robot;
}

const std::vector<Robot>& Robots() {
  static const std::vector<Robot> robots = {
      DualArmWithExternalAxes("dual-arm 7+7+2", 7, 2),
      DualArmWithExternalAxes("56 joints 24+24+8", 24, 8),
  };
  return robots;
}

std::vector<float> Values(size_t count, float first) {
  std::vector<float> values(count);
  for (size_t i = 0; i < count; ++i) values[i] = first + 0.01f * static_cast<float>(i);
  return values;
}

// A full message as the robot sends it: every vector one value per joint, one Cartesian record per
// group with a unit quaternion that is not the identity (so the wrench rotation does real work).
msg::AllBasicStreamData BasicMessage(const Robot& robot) {
  msg::AllBasicStreamData message;
  message.safety_io.estop_released = true;
  message.safety_io.digital_inputs[3] = true;
  for (const auto& entry : robot.group_names) {
    message.joint_group_indices.push_back(static_cast<uint16_t>(entry.first));
  }
  const size_t n = robot.joints;
  auto& joints = message.joint_data;
  joints.q = Values(n, 0.1f);
  joints.theta = Values(n, 0.2f);
  joints.dq = Values(n, 0.3f);
  joints.dtheta = Values(n, 0.4f);
  joints.tau = Values(n, 0.5f);
  joints.tau_dot = Values(n, 0.6f);
  joints.tau_ext = Values(n, 0.7f);
  joints.tau_interact = Values(n, 0.8f);
  joints.temperature = Values(n, 30.0f);
  joints.aux_triples_1.assign(n, {1.0f, 2.0f, 3.0f});
  joints.aux_triples_2.assign(n, {4.0f, 5.0f, 6.0f});
  message.cartesian_data.resize(message.joint_group_indices.size());
  for (auto& cartesian : message.cartesian_data) {
    cartesian.tcp_pose = {0.4f, 0.1f, 0.6f, 0.5f, 0.5f, 0.5f, 0.5f};
    cartesian.flange_pose = cartesian.tcp_pose;
    cartesian.tcp_wrench_local = {1.0f, 2.0f, 3.0f, 0.1f, 0.2f, 0.3f};
    cartesian.raw_tcp_wrench_local = cartesian.tcp_wrench_local;
  }
  message.timestamp = {1700000000, 123456u};
  return message;
}

msg::AllExtraStreamData ExtraMessage(const Robot& robot) {
  msg::AllExtraStreamData message;
  for (const auto& entry : robot.group_names) {
    message.joint_group_indices.push_back(static_cast<uint16_t>(entry.first));
  }
  message.desired_joint_data.q_d = Values(robot.joints, 0.1f);
  message.desired_joint_data.dq_d = Values(robot.joints, 0.2f);
  message.desired_joint_data.tau_d = Values(robot.joints, 0.3f);
  message.cartesian_data.resize(message.joint_group_indices.size());
  for (auto& cartesian : message.cartesian_data) {
    cartesian.tcp_pose_d = {0.4f, 0.1f, 0.6f, 1.0f, 0.0f, 0.0f, 0.0f};
  }
  return message;
}

// Runs `operation` per iteration and reports its heap allocations per iteration.
template <class Operation>
void Measure(benchmark::State& state, const Robot& robot, Operation operation) {
  state.SetLabel(robot.label);
  const uint64_t before = g_allocations.load(std::memory_order_relaxed);
  for (auto _ : state) {
    auto result = operation();
    benchmark::DoNotOptimize(result);
  }
  const uint64_t allocations = g_allocations.load(std::memory_order_relaxed) - before;
  state.counters["allocs/op"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
}

void BM_DecodeBasic(benchmark::State& state) {
  const Robot& robot = Robots()[static_cast<size_t>(state.range(0))];
  const zenoh::Bytes payload = msg::Encode(BasicMessage(robot));
  state.counters["bytes"] = static_cast<double>(payload.as_vector().size());
  Measure(state, robot, [&] { return msg::Decode<msg::AllBasicStreamData>(payload.view()); });
}

void BM_DecodeExtra(benchmark::State& state) {
  const Robot& robot = Robots()[static_cast<size_t>(state.range(0))];
  const zenoh::Bytes payload = msg::Encode(ExtraMessage(robot));
  state.counters["bytes"] = static_cast<double>(payload.as_vector().size());
  Measure(state, robot, [&] { return msg::Decode<msg::AllExtraStreamData>(payload.view()); });
}

void BM_SegmentStates(benchmark::State& state) {
  const Robot& robot = Robots()[static_cast<size_t>(state.range(0))];
  const msg::AllBasicStreamData basic = BasicMessage(robot);
  Measure(state, robot, [&] {
    return korvan::tyr_impl::SegmentStates(basic, robot.group_names, robot.start_ids, robot.dofs);
  });
}

void BM_SegmentActions(benchmark::State& state) {
  const Robot& robot = Robots()[static_cast<size_t>(state.range(0))];
  const msg::AllBasicStreamData basic = BasicMessage(robot);
  const msg::AllExtraStreamData extra = ExtraMessage(robot);
  Measure(state, robot, [&] {
    return korvan::tyr_impl::SegmentActions(basic.timestamp, extra, robot.group_names,
                                            robot.start_ids, robot.dofs);
  });
}

// What a hand-over does under the stream's mutex: copy the receive buffer into the latest message,
// whose storage is already the right size after the first sample.
void BM_HandOverBasic(benchmark::State& state) {
  const Robot& robot = Robots()[static_cast<size_t>(state.range(0))];
  const msg::AllBasicStreamData buffer = BasicMessage(robot);
  msg::AllBasicStreamData latest = buffer;
  Measure(state, robot, [&] {
    latest = buffer;
    return latest.timestamp;
  });
}

BENCHMARK(BM_DecodeBasic)->DenseRange(0, 1);
BENCHMARK(BM_HandOverBasic)->DenseRange(0, 1);
BENCHMARK(BM_DecodeExtra)->DenseRange(0, 1);
BENCHMARK(BM_SegmentStates)->DenseRange(0, 1);
BENCHMARK(BM_SegmentActions)->DenseRange(0, 1);

}  // namespace

BENCHMARK_MAIN();
