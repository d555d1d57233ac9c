#include "messages/stream_messages.h"

#include <utility>

namespace korvan {
namespace zenoh_msgs {
namespace tyr_msg {

// Each reader overwrites its record field by field in wire order; Read (codec.h) makes that whole
// or nothing.

template <class In>
void ReadInto(In& in, SafetyIoData& record) {
  ReadInto(in, record.aux_code);
  ReadInto(in, record.aux_value);
  ReadInto(in, record.estop_released);
  ReadInto(in, record.enabling_device_on);
  ReadInto(in, record.aux_flags);
  ReadInto(in, record.digital_inputs);
  ReadInto(in, record.digital_outputs);
}

template <class In>
void ReadInto(In& in, JointStateData& record) {
  ReadInto(in, record.q);
  ReadInto(in, record.theta);
  ReadInto(in, record.dq);
  ReadInto(in, record.dtheta);
  ReadInto(in, record.tau);
  ReadInto(in, record.tau_dot);
  ReadInto(in, record.tau_ext);
  ReadInto(in, record.tau_interact);
  ReadInto(in, record.temperature);
  ReadInto(in, record.aux_triples_1);
  ReadInto(in, record.aux_triples_2);
}

template <class In>
void ReadInto(In& in, CartesianStateData& record) {
  ReadInto(in, record.flange_pose);
  ReadInto(in, record.tcp_pose);
  ReadInto(in, record.tcp_twist);
  ReadInto(in, record.tcp_wrench_local);
  ReadInto(in, record.aux_array6);
  ReadInto(in, record.raw_tcp_wrench_local);
  ReadInto(in, record.raw_ft_sensor);
}

template <class In>
void ReadInto(In& in, AllBasicStreamData& record) {
  ReadInto(in, record.safety_io);
  ReadInto(in, record.joint_group_indices);
  ReadInto(in, record.joint_data);
  ReadInto(in, record.cartesian_data);
  ReadInto(in, record.timestamp.first);
  ReadInto(in, record.timestamp.second);
}

template <class In>
void ReadInto(In& in, DesiredJointData& record) {
  ReadInto(in, record.q_d);
  ReadInto(in, record.dq_d);
  ReadInto(in, record.tau_d);
}

template <class In>
void ReadInto(In& in, DesiredCartesianData& record) {
  ReadInto(in, record.tcp_pose_d);
  ReadInto(in, record.tcp_twist_d);
  ReadInto(in, record.tcp_wrench_d);
}

template <class In>
void ReadInto(In& in, AllExtraStreamData& record) {
  ReadInto(in, record.joint_group_indices);
  ReadInto(in, record.desired_joint_data);
  ReadInto(in, record.cartesian_data);
}

// The two readers of codec.h.
template void ReadInto(PayloadReader&, SafetyIoData&);
template void ReadInto(PayloadReader&, JointStateData&);
template void ReadInto(PayloadReader&, CartesianStateData&);
template void ReadInto(PayloadReader&, AllBasicStreamData&);
template void ReadInto(PayloadReader&, DesiredJointData&);
template void ReadInto(PayloadReader&, DesiredCartesianData&);
template void ReadInto(PayloadReader&, AllExtraStreamData&);
template void ReadInto(zenoh::Deserializer&, SafetyIoData&);
template void ReadInto(zenoh::Deserializer&, JointStateData&);
template void ReadInto(zenoh::Deserializer&, CartesianStateData&);
template void ReadInto(zenoh::Deserializer&, AllBasicStreamData&);
template void ReadInto(zenoh::Deserializer&, DesiredJointData&);
template void ReadInto(zenoh::Deserializer&, DesiredCartesianData&);
template void ReadInto(zenoh::Deserializer&, AllExtraStreamData&);

void Write(zenoh::Serializer& out, const SafetyIoData& record) {
  Write(out, record.aux_code);
  Write(out, record.aux_value);
  Write(out, record.estop_released);
  Write(out, record.enabling_device_on);
  Write(out, record.aux_flags);
  Write(out, record.digital_inputs);
  Write(out, record.digital_outputs);
}

void Write(zenoh::Serializer& out, const JointStateData& record) {
  Write(out, record.q);
  Write(out, record.theta);
  Write(out, record.dq);
  Write(out, record.dtheta);
  Write(out, record.tau);
  Write(out, record.tau_dot);
  Write(out, record.tau_ext);
  Write(out, record.tau_interact);
  Write(out, record.temperature);
  Write(out, record.aux_triples_1);
  Write(out, record.aux_triples_2);
}

void Write(zenoh::Serializer& out, const CartesianStateData& record) {
  Write(out, record.flange_pose);
  Write(out, record.tcp_pose);
  Write(out, record.tcp_twist);
  Write(out, record.tcp_wrench_local);
  Write(out, record.aux_array6);
  Write(out, record.raw_tcp_wrench_local);
  Write(out, record.raw_ft_sensor);
}

void Write(zenoh::Serializer& out, const AllBasicStreamData& record) {
  Write(out, record.safety_io);
  Write(out, record.joint_group_indices);
  Write(out, record.joint_data);
  Write(out, record.cartesian_data);
  Write(out, record.timestamp.first);
  Write(out, record.timestamp.second);
}

void Write(zenoh::Serializer& out, const DesiredJointData& record) {
  Write(out, record.q_d);
  Write(out, record.dq_d);
  Write(out, record.tau_d);
}

void Write(zenoh::Serializer& out, const DesiredCartesianData& record) {
  Write(out, record.tcp_pose_d);
  Write(out, record.tcp_twist_d);
  Write(out, record.tcp_wrench_d);
}

void Write(zenoh::Serializer& out, const AllExtraStreamData& record) {
  Write(out, record.joint_group_indices);
  Write(out, record.desired_joint_data);
  Write(out, record.cartesian_data);
}

}  // namespace tyr_msg
}  // namespace zenoh_msgs
}  // namespace korvan
