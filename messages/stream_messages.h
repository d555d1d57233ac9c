// Records of the robot's two data streams (basic: measured state; extra: commanded values), with
// their readers and writers. Fields are declared in wire order; a default record is all zero,
// false and empty, which is what the client holds before a stream's first sample. The decoder does
// not relate fields to one another (e.g. joint_group_indices vs cartesian_data sizes): users check.
// Plain values, no locking; Decode<AllBasicStreamData> runs on Zenoh's threads at stream rate.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "messages/codec.h"
#include "middleware/zenoh.h"

namespace korvan {
namespace zenoh_msgs {
namespace tyr_msg {

struct SafetyIoData {
  uint16_t aux_code = 0;
  int16_t aux_value = 0;
  bool estop_released = false;
  bool enabling_device_on = false;
  std::array<bool, 8> aux_flags{};
  std::array<bool, 20> digital_inputs{};   // index = input number
  std::array<bool, 20> digital_outputs{};  // index = output number
};

// Robot-wide vectors, one value per joint of the whole robot.
struct JointStateData {
  std::vector<float> q;
  std::vector<float> theta;
  std::vector<float> dq;
  std::vector<float> dtheta;
  std::vector<float> tau;
  std::vector<float> tau_dot;
  std::vector<float> tau_ext;
  std::vector<float> tau_interact;
  std::vector<float> temperature;
  std::vector<std::array<float, 3>> aux_triples_1;
  std::vector<std::array<float, 3>> aux_triples_2;
};

// One joint group. Poses: x, y, z, qw, qx, qy, qz; wrenches: force then moment.
struct CartesianStateData {
  std::array<float, 7> flange_pose{};
  std::array<float, 7> tcp_pose{};
  std::array<float, 6> tcp_twist{};
  std::array<float, 6> tcp_wrench_local{};
  std::array<float, 6> aux_array6{};
  std::array<float, 6> raw_tcp_wrench_local{};
  std::array<float, 6> raw_ft_sensor{};
};

struct AllBasicStreamData {
  SafetyIoData safety_io;
  std::vector<uint16_t> joint_group_indices;
  JointStateData joint_data;
  std::vector<CartesianStateData> cartesian_data;  // parallel to joint_group_indices
  // The robot's two integers as sent: first the int32, then the uint32.
  std::pair<int32_t, uint32_t> timestamp{};
};

struct DesiredJointData {
  std::vector<float> q_d;
  std::vector<float> dq_d;
  std::vector<float> tau_d;
};

struct DesiredCartesianData {
  std::array<float, 7> tcp_pose_d{};
  std::array<float, 6> tcp_twist_d{};
  std::array<float, 6> tcp_wrench_d{};
};

struct AllExtraStreamData {
  std::vector<uint16_t> joint_group_indices;
  DesiredJointData desired_joint_data;
  std::vector<DesiredCartesianData> cartesian_data;  // parallel to joint_group_indices
};

template <class In>
void ReadInto(In& in, SafetyIoData& record);
template <class In>
void ReadInto(In& in, JointStateData& record);
template <class In>
void ReadInto(In& in, CartesianStateData& record);
template <class In>
void ReadInto(In& in, AllBasicStreamData& record);
template <class In>
void ReadInto(In& in, DesiredJointData& record);
template <class In>
void ReadInto(In& in, DesiredCartesianData& record);
template <class In>
void ReadInto(In& in, AllExtraStreamData& record);

void Write(zenoh::Serializer& out, const SafetyIoData& record);
void Write(zenoh::Serializer& out, const JointStateData& record);
void Write(zenoh::Serializer& out, const CartesianStateData& record);
void Write(zenoh::Serializer& out, const AllBasicStreamData& record);
void Write(zenoh::Serializer& out, const DesiredJointData& record);
void Write(zenoh::Serializer& out, const DesiredCartesianData& record);
void Write(zenoh::Serializer& out, const AllExtraStreamData& record);

// Only the records that occur as sequence elements need a minimum size.
template <>
struct WireSize<CartesianStateData> {
  static constexpr size_t kMin =
      kMinWireSizeOf<std::array<float, 7>, std::array<float, 7>, std::array<float, 6>,
                     std::array<float, 6>, std::array<float, 6>, std::array<float, 6>,
                     std::array<float, 6>>;
};

template <>
struct WireSize<DesiredCartesianData> {
  static constexpr size_t kMin =
      kMinWireSizeOf<std::array<float, 7>, std::array<float, 6>, std::array<float, 6>>;
};

}  // namespace tyr_msg
}  // namespace zenoh_msgs
}  // namespace korvan
