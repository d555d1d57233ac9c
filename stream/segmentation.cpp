#include "stream/segmentation.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <vector>

namespace korvan {
namespace tyr_impl {
namespace {

using tyr::JointGroup;
using tyr::RobotActions;
using tyr::RobotStates;
using zenoh_msgs::tyr_msg::AllBasicStreamData;
using zenoh_msgs::tyr_msg::AllExtraStreamData;

using Matrix3 = std::array<std::array<double, 3>, 3>;

// Where a group's joints sit in the robot-wide vectors.
struct SliceRange {
  uint32_t start;  // the signed start index read as unsigned: a negative one is far out of range
  uint64_t dof;
};

// The robot sends the second integer unsigned; the public record keeps the same 32 bits, signed.
std::pair<int32_t, int32_t> ToRecordTimestamp(std::pair<int32_t, uint32_t> timestamp) {
  return {timestamp.first, static_cast<int32_t>(timestamp.second)};
}

// Looks the group up once in each table, so the slices of all its vectors share the result.
bool FindSliceRange(JointGroup group, const std::map<JointGroup, int32_t>& start_ids,
                    const std::map<JointGroup, uint64_t>& dofs, SliceRange& range,
                    DeferredLog& log) {
  const auto start = start_ids.find(group);
  const auto dof = dofs.find(group);
  if (start == start_ids.end() || dof == dofs.end()) {
    log.Error("[korvan::tyr::Client] Missing start ID or DoF metadata for joint group [{}]",
              static_cast<int32_t>(group));
    return false;
  }
  range = {static_cast<uint32_t>(start->second), dof->second};
  return true;
}

// Replaces `to` with the group's values of `from`, widened to double, in one allocation. The bounds
// test never forms start + dof, which could wrap around and let an out-of-range slice through.
// A group without joints owns no values, wherever its start index points.
bool Slice(const std::vector<float>& from, SliceRange range, std::vector<double>& to) {
  to.clear();
  if (range.dof == 0) {
    return true;
  }
  if (range.start > from.size() || range.dof > from.size() - range.start) {
    return false;
  }
  const auto first = from.begin() + static_cast<std::ptrdiff_t>(range.start);
  to.assign(first, first + static_cast<std::ptrdiff_t>(range.dof));
  return true;
}

template <std::size_t N>
void Widen(const std::array<float, N>& from, std::array<double, N>& to) {
  std::copy(from.begin(), from.end(), to.begin());
}

// Rotation of the orientation quaternion qw, qx, qy, qz held in elements 3 to 6 of a pose. The
// quaternion is normalised first; an all-zero one stays zero and yields the identity, so the
// wrench passes unrotated rather than being wiped out.
Matrix3 RotationOf(const std::array<double, 7>& pose) {
  double w = pose[3];
  double x = pose[4];
  double y = pose[5];
  double z = pose[6];
  const double m = w * w + x * x + y * y + z * z;
  if (m > 0.0) {
    const double norm = std::sqrt(m);
    w /= norm;
    x /= norm;
    y /= norm;
    z /= norm;
  }
  return {{{1.0 - 2.0 * (y * y + z * z), 2.0 * (x * y - w * z), 2.0 * (x * z + w * y)},
           {2.0 * (x * y + w * z), 1.0 - 2.0 * (x * x + z * z), 2.0 * (y * z - w * x)},
           {2.0 * (x * z - w * y), 2.0 * (y * z + w * x), 1.0 - 2.0 * (x * x + y * y)}}};
}

// Rotates the force (0-2) and the moment (3-5) each as one vector.
void ToWorld(const Matrix3& r, const std::array<double, 6>& local, std::array<double, 6>& world) {
  for (std::size_t offset = 0; offset < 6; offset += 3) {
    for (std::size_t row = 0; row < 3; ++row) {
      world[offset + row] =
          r[row][0] * local[offset] + r[row][1] * local[offset + 1] + r[row][2] * local[offset + 2];
    }
  }
}

// Group numbers of the messages are not range-checked here: every number gets its own record.
JointGroup GroupOf(uint16_t index) { return static_cast<JointGroup>(static_cast<int32_t>(index)); }

}  // namespace

std::map<JointGroup, RobotStates> SegmentStates(
    const AllBasicStreamData& basic, const std::map<JointGroup, std::string>& group_names,
    const std::map<JointGroup, int32_t>& start_ids, const std::map<JointGroup, uint64_t>& dofs) {
  DeferredLog log;
  return SegmentStates(basic, group_names, start_ids, dofs, log);
}

std::map<JointGroup, RobotStates> SegmentStates(
    const AllBasicStreamData& basic, const std::map<JointGroup, std::string>& group_names,
    const std::map<JointGroup, int32_t>& start_ids, const std::map<JointGroup, uint64_t>& dofs,
    DeferredLog& log) {
  const auto& indices = basic.joint_group_indices;
  const auto& cartesian = basic.cartesian_data;
  if (cartesian.size() != indices.size()) {
    log.Error(
        "[korvan::tyr::Client] The received data has mismatched sizes: cartesian_data size is {}, "
        "expected number of joint groups is {}",
        cartesian.size(), indices.size());
    return {};
  }

  std::map<JointGroup, RobotStates> result;
  const auto timestamp = ToRecordTimestamp(basic.timestamp);
  const auto& joints = basic.joint_data;
  for (const auto& name : group_names) {
    const JointGroup group = name.first;
    SliceRange range;
    if (!FindSliceRange(group, start_ids, dofs, range, log)) {
      return {};
    }
    // The client's groups come in ascending order, each one new: its record goes at the end.
    RobotStates& record = result.try_emplace(result.end(), group)->second;
    record.timestamp = timestamp;
    const bool sliced =
        Slice(joints.q, range, record.q) && Slice(joints.theta, range, record.theta) &&
        Slice(joints.dq, range, record.dq) && Slice(joints.dtheta, range, record.dtheta) &&
        Slice(joints.tau, range, record.tau) && Slice(joints.tau_dot, range, record.tau_dot) &&
        Slice(joints.tau_ext, range, record.tau_ext) &&
        Slice(joints.tau_interact, range, record.tau_interact) &&
        Slice(joints.temperature, range, record.temperature);
    if (!sliced) {
      log.Error("[korvan::tyr::Client] Failed to segment full-DoF joint data for joint group [{}]",
                static_cast<int32_t>(group));
      return {};
    }
  }

  for (std::size_t i = 0; i < indices.size(); ++i) {
    RobotStates& record = result.try_emplace(GroupOf(indices[i])).first->second;
    const auto& from = cartesian[i];
    Widen(from.flange_pose, record.flange_pose);
    Widen(from.tcp_pose, record.tcp_pose);
    Widen(from.tcp_twist, record.tcp_twist);
    Widen(from.tcp_wrench_local, record.tcp_wrench_local);
    Widen(from.raw_tcp_wrench_local, record.raw_tcp_wrench_local);
    Widen(from.raw_ft_sensor, record.raw_ft_sensor);
    const Matrix3 rotation = RotationOf(record.tcp_pose);
    ToWorld(rotation, record.tcp_wrench_local, record.tcp_wrench);
    ToWorld(rotation, record.raw_tcp_wrench_local, record.raw_tcp_wrench);
  }
  return result;
}

std::map<JointGroup, RobotActions> SegmentActions(
    std::pair<int32_t, uint32_t> basic_timestamp, const AllExtraStreamData& extra,
    const std::map<JointGroup, std::string>& group_names,
    const std::map<JointGroup, int32_t>& start_ids, const std::map<JointGroup, uint64_t>& dofs) {
  DeferredLog log;
  return SegmentActions(basic_timestamp, extra, group_names, start_ids, dofs, log);
}

std::map<JointGroup, RobotActions> SegmentActions(
    std::pair<int32_t, uint32_t> basic_timestamp, const AllExtraStreamData& extra,
    const std::map<JointGroup, std::string>& group_names,
    const std::map<JointGroup, int32_t>& start_ids, const std::map<JointGroup, uint64_t>& dofs,
    DeferredLog& log) {
  const auto& indices = extra.joint_group_indices;
  const auto& cartesian = extra.cartesian_data;
  if (cartesian.size() != indices.size()) {
    log.Error(
        "[korvan::tyr::Client] The received desired data has mismatched sizes: cartesian_data "
        "size is {}, expected number of joint groups is {}",
        cartesian.size(), indices.size());
    return {};
  }

  std::map<JointGroup, RobotActions> result;
  const auto timestamp = ToRecordTimestamp(basic_timestamp);
  const auto& joints = extra.desired_joint_data;
  for (const auto& name : group_names) {
    const JointGroup group = name.first;
    SliceRange range;
    if (!FindSliceRange(group, start_ids, dofs, range, log)) {
      return {};
    }
    RobotActions& record = result.try_emplace(result.end(), group)->second;
    record.timestamp = timestamp;
    const bool sliced = Slice(joints.q_d, range, record.q_d) &&
                        Slice(joints.dq_d, range, record.dq_d) &&
                        Slice(joints.tau_d, range, record.tau_d);
    if (!sliced) {
      log.Error("[korvan::tyr::Client] Failed to segment desired joint data for joint group [{}]",
                static_cast<int32_t>(group));
      return {};
    }
  }

  for (std::size_t i = 0; i < indices.size(); ++i) {
    RobotActions& record = result.try_emplace(GroupOf(indices[i])).first->second;
    const auto& from = cartesian[i];
    Widen(from.tcp_pose_d, record.tcp_pose_d);
    Widen(from.tcp_twist_d, record.tcp_twist_d);
    Widen(from.tcp_wrench_d, record.tcp_wrench_d);
  }
  return result;
}

}  // namespace tyr_impl
}  // namespace korvan
