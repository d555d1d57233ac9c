#include "messages/stream_messages.h"

#include <utility>

namespace korvan {
namespace zenoh_msgs {
namespace tyr_msg {

// Each reader fills a fresh record and moves it into place only once every field has been read.

void Read(zenoh::Deserializer& in, SafetyIoData& record) {
  SafetyIoData fresh;
  Read(in, fresh.aux_code);
  Read(in, fresh.aux_value);
  Read(in, fresh.estop_released);
  Read(in, fresh.enabling_device_on);
  Read(in, fresh.aux_flags);
  Read(in, fresh.digital_inputs);
  Read(in, fresh.digital_outputs);
  record = fresh;  // trivially copyable: moving would copy the same bytes
}

void Read(zenoh::Deserializer& in, JointStateData& record) {
  JointStateData fresh;
  Read(in, fresh.q);
  Read(in, fresh.theta);
  Read(in, fresh.dq);
  Read(in, fresh.dtheta);
  Read(in, fresh.tau);
  Read(in, fresh.tau_dot);
  Read(in, fresh.tau_ext);
  Read(in, fresh.tau_interact);
  Read(in, fresh.temperature);
  Read(in, fresh.aux_triples_1);
  Read(in, fresh.aux_triples_2);
  record = std::move(fresh);
}

void Read(zenoh::Deserializer& in, CartesianStateData& record) {
  CartesianStateData fresh;
  Read(in, fresh.flange_pose);
  Read(in, fresh.tcp_pose);
  Read(in, fresh.tcp_twist);
  Read(in, fresh.tcp_wrench_local);
  Read(in, fresh.aux_array6);
  Read(in, fresh.raw_tcp_wrench_local);
  Read(in, fresh.raw_ft_sensor);
  record = fresh;
}

void Read(zenoh::Deserializer& in, AllBasicStreamData& record) {
  AllBasicStreamData fresh;
  Read(in, fresh.safety_io);
  Read(in, fresh.joint_group_indices);
  Read(in, fresh.joint_data);
  Read(in, fresh.cartesian_data);
  Read(in, fresh.timestamp.first);
  Read(in, fresh.timestamp.second);
  record = std::move(fresh);
}

void Read(zenoh::Deserializer& in, DesiredJointData& record) {
  DesiredJointData fresh;
  Read(in, fresh.q_d);
  Read(in, fresh.dq_d);
  Read(in, fresh.tau_d);
  record = std::move(fresh);
}

void Read(zenoh::Deserializer& in, DesiredCartesianData& record) {
  DesiredCartesianData fresh;
  Read(in, fresh.tcp_pose_d);
  Read(in, fresh.tcp_twist_d);
  Read(in, fresh.tcp_wrench_d);
  record = fresh;
}

void Read(zenoh::Deserializer& in, AllExtraStreamData& record) {
  AllExtraStreamData fresh;
  Read(in, fresh.joint_group_indices);
  Read(in, fresh.desired_joint_data);
  Read(in, fresh.cartesian_data);
  record = std::move(fresh);
}

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
