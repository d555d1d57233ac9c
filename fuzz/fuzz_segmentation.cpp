// Cuts a decoded stream message into per-group records against start-up tables taken from the
// input, as the states and actions queries do. Input layout, little-endian:
//   byte 0        bit 0 set: actions from an extra message; clear: states from a basic message
//   byte 1        number of table entries, taken modulo 9
//   per entry     15 bytes: group number (uint16); the tables that list it (bit 0 group_names,
//                 bit 1 start_ids, bit 2 dofs); start index (int32); DoF (uint64)
//   actions only  the latest basic message's timestamp (int32, uint32)
//   the rest      the stream payload; one that does not decode never reaches segmentation.
// Besides not crashing: the result is empty exactly when the message and the tables do not fit
// (decided here independently, without wrap-around), and otherwise holds every group's slices and
// Cartesian values, with the local wrenches rotated without changing their length.

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "korvantyr/korvantyr.h"
#include "messages/stream_messages.h"
#include "stream/segmentation.h"

namespace {

using korvan::fuzz::Expect;
using korvan::tyr::JointGroup;
using korvan::tyr::RobotActions;
using korvan::tyr::RobotStates;
using korvan::zenoh_msgs::tyr_msg::AllBasicStreamData;
using korvan::zenoh_msgs::tyr_msg::AllExtraStreamData;

struct Tables {
  std::map<JointGroup, std::string> group_names;
  std::map<JointGroup, int32_t> start_ids;
  std::map<JointGroup, uint64_t> dofs;
};

// The one place where the target segments, as DataStream does under the stream's mutex.
std::map<JointGroup, RobotStates> CutStates(const AllBasicStreamData& basic, const Tables& t) {
  return korvan::tyr_impl::SegmentStates(basic, t.group_names, t.start_ids, t.dofs);
}
std::map<JointGroup, RobotActions> CutActions(std::pair<int32_t, uint32_t> basic_timestamp,
                                              const AllExtraStreamData& extra, const Tables& t) {
  return korvan::tyr_impl::SegmentActions(basic_timestamp, extra, t.group_names, t.start_ids,
                                          t.dofs);
}

// Takes fixed-size values off the front of the input.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  template <class T>
  bool Take(T& value) {
    if (size_ - used_ < sizeof(T)) return false;
    std::memcpy(&value, data_ + used_, sizeof(T));  // the machine's order: little-endian on x86
    used_ += sizeof(T);
    return true;
  }
  const uint8_t* rest() const { return data_ + used_; }
  size_t rest_size() const { return size_ - used_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t used_ = 0;
};

bool ReadTables(Reader& in, Tables& tables) {
  uint8_t count = 0;
  if (!in.Take(count)) return false;
  for (int i = 0; i < count % 9; ++i) {
    uint16_t number = 0;
    uint8_t listed = 0;
    int32_t start = 0;
    uint64_t dof = 0;
    if (!in.Take(number) || !in.Take(listed) || !in.Take(start) || !in.Take(dof)) return false;
    const auto group = static_cast<JointGroup>(static_cast<int32_t>(number));
    if (listed & 1) {
      const auto name = korvan::tyr::kJointGroupNames.find(group);
      tables.group_names[group] = name != korvan::tyr::kJointGroupNames.end() ? name->second : "";
    }
    if (listed & 2) tables.start_ids[group] = start;
    if (listed & 4) tables.dofs[group] = dof;
  }
  return true;
}

JointGroup GroupOf(uint16_t index) { return static_cast<JointGroup>(static_cast<int32_t>(index)); }

// Whether every listed group has both table entries and a slice inside every vector.
bool TablesFit(const Tables& t, const std::vector<const std::vector<float>*>& vectors) {
  for (const auto& [group, name] : t.group_names) {
    const auto start = t.start_ids.find(group);
    const auto dof = t.dofs.find(group);
    if (start == t.start_ids.end() || dof == t.dofs.end()) return false;
    if (dof->second == 0) continue;
    const unsigned __int128 end =
        static_cast<unsigned __int128>(static_cast<uint32_t>(start->second)) + dof->second;
    for (const auto* vector : vectors) {
      if (end > vector->size()) return false;
    }
  }
  return true;
}

bool SameDouble(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void ExpectSlice(const std::vector<float>& from, const Tables& t, JointGroup group,
                 const std::vector<double>& to) {
  const uint64_t dof = t.dofs.at(group);
  Expect(to.size() == dof, "a joint vector does not hold the group's DoF");
  const size_t start = static_cast<uint32_t>(t.start_ids.at(group));
  for (size_t k = 0; k < to.size(); ++k) {
    Expect(SameDouble(to[k], static_cast<double>(from[start + k])),
           "a joint value is not the widened robot-wide value");
  }
}

template <size_t N>
void ExpectWidened(const std::array<float, N>& from, const std::array<double, N>& to) {
  for (size_t k = 0; k < N; ++k) {
    Expect(SameDouble(to[k], static_cast<double>(from[k])), "a Cartesian value is not widened");
  }
}

template <size_t N>
bool AllFinite(const std::array<double, N>& values) {
  for (double v : values) {
    if (!std::isfinite(v)) return false;
  }
  return true;
}

// A rotation keeps the length of the force (0-2) and of the moment (3-5).
void ExpectRotated(const std::array<double, 7>& pose, const std::array<double, 6>& local,
                   const std::array<double, 6>& world) {
  if (!AllFinite(pose) || !AllFinite(local)) return;
  for (size_t offset = 0; offset < 6; offset += 3) {
    const double before = std::hypot(local[offset], local[offset + 1], local[offset + 2]);
    const double after = std::hypot(world[offset], world[offset + 1], world[offset + 2]);
    Expect(std::fabs(after - before) <= 1e-9 * before,
           "rotating a wrench into the world frame changed its length");
  }
}

// Position of the last occurrence of every group number of the message.
std::map<JointGroup, size_t> LastOccurrences(const std::vector<uint16_t>& indices) {
  std::map<JointGroup, size_t> last;
  for (size_t i = 0; i < indices.size(); ++i) last[GroupOf(indices[i])] = i;
  return last;
}

template <class Record>
void ExpectGroups(const std::map<JointGroup, Record>& result, const Tables& t,
                  const std::map<JointGroup, size_t>& last) {
  size_t expected = t.group_names.size();
  for (const auto& [group, i] : last) expected += t.group_names.count(group) == 0 ? 1 : 0;
  Expect(result.size() == expected, "the result does not hold exactly the listed and sent groups");
  for (const auto& [group, name] : t.group_names) {
    Expect(result.count(group) == 1, "a listed group has no record");
  }
  for (const auto& [group, i] : last) {
    Expect(result.count(group) == 1, "a group of the message has no record");
  }
}

void CheckStates(const AllBasicStreamData& basic, const Tables& t) {
  const auto result = CutStates(basic, t);
  const auto& j = basic.joint_data;
  const bool fits = basic.cartesian_data.size() == basic.joint_group_indices.size() &&
                    TablesFit(t, {&j.q, &j.theta, &j.dq, &j.dtheta, &j.tau, &j.tau_dot, &j.tau_ext,
                                  &j.tau_interact, &j.temperature});
  if (!fits) {
    Expect(result.empty(), "states of a message that does not fit the tables");
    return;
  }
  const auto last = LastOccurrences(basic.joint_group_indices);
  ExpectGroups(result, t, last);
  const std::pair<int32_t, int32_t> stamp{basic.timestamp.first,
                                          static_cast<int32_t>(basic.timestamp.second)};
  for (const auto& [group, record] : result) {
    if (t.group_names.count(group) == 0) {
      Expect(record.timestamp == std::pair<int32_t, int32_t>{} && record.q.empty() &&
                 record.temperature.empty(),
             "a group only the message names has joint values or a timestamp");
    } else {
      Expect(record.timestamp == stamp, "a listed group's timestamp is not the message's");
      ExpectSlice(j.q, t, group, record.q);
      ExpectSlice(j.theta, t, group, record.theta);
      ExpectSlice(j.dq, t, group, record.dq);
      ExpectSlice(j.dtheta, t, group, record.dtheta);
      ExpectSlice(j.tau, t, group, record.tau);
      ExpectSlice(j.tau_dot, t, group, record.tau_dot);
      ExpectSlice(j.tau_ext, t, group, record.tau_ext);
      ExpectSlice(j.tau_interact, t, group, record.tau_interact);
      ExpectSlice(j.temperature, t, group, record.temperature);
    }
    const auto at = last.find(group);
    if (at == last.end()) continue;
    const auto& from = basic.cartesian_data[at->second];
    ExpectWidened(from.flange_pose, record.flange_pose);
    ExpectWidened(from.tcp_pose, record.tcp_pose);
    ExpectWidened(from.tcp_twist, record.tcp_twist);
    ExpectWidened(from.tcp_wrench_local, record.tcp_wrench_local);
    ExpectWidened(from.raw_tcp_wrench_local, record.raw_tcp_wrench_local);
    ExpectWidened(from.raw_ft_sensor, record.raw_ft_sensor);
    ExpectRotated(record.tcp_pose, record.tcp_wrench_local, record.tcp_wrench);
    ExpectRotated(record.tcp_pose, record.raw_tcp_wrench_local, record.raw_tcp_wrench);
  }
}

void CheckActions(std::pair<int32_t, uint32_t> basic_timestamp, const AllExtraStreamData& extra,
                  const Tables& t) {
  const auto result = CutActions(basic_timestamp, extra, t);
  const auto& j = extra.desired_joint_data;
  const bool fits = extra.cartesian_data.size() == extra.joint_group_indices.size() &&
                    TablesFit(t, {&j.q_d, &j.dq_d, &j.tau_d});
  if (!fits) {
    Expect(result.empty(), "actions of a message that does not fit the tables");
    return;
  }
  const auto last = LastOccurrences(extra.joint_group_indices);
  ExpectGroups(result, t, last);
  const std::pair<int32_t, int32_t> stamp{basic_timestamp.first,
                                          static_cast<int32_t>(basic_timestamp.second)};
  for (const auto& [group, record] : result) {
    if (t.group_names.count(group) == 0) {
      Expect(record.timestamp == std::pair<int32_t, int32_t>{} && record.q_d.empty(),
             "a group only the message names has joint values or a timestamp");
    } else {
      Expect(record.timestamp == stamp, "a listed group's timestamp is not the basic one");
      ExpectSlice(j.q_d, t, group, record.q_d);
      ExpectSlice(j.dq_d, t, group, record.dq_d);
      ExpectSlice(j.tau_d, t, group, record.tau_d);
    }
    const auto at = last.find(group);
    if (at == last.end()) continue;
    const auto& from = extra.cartesian_data[at->second];
    ExpectWidened(from.tcp_pose_d, record.tcp_pose_d);
    ExpectWidened(from.tcp_twist_d, record.tcp_twist_d);
    ExpectWidened(from.tcp_wrench_d, record.tcp_wrench_d);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in(data, size);
  uint8_t mode = 0;
  Tables tables;
  if (!in.Take(mode) || !ReadTables(in, tables)) return 0;
  if (mode & 1) {
    std::pair<int32_t, uint32_t> basic_timestamp;
    if (!in.Take(basic_timestamp.first) || !in.Take(basic_timestamp.second)) return 0;
    AllExtraStreamData extra;
    if (korvan::fuzz::DecodeAsReceived(in.rest(), in.rest_size(), extra)) {
      CheckActions(basic_timestamp, extra, tables);
    }
  } else {
    AllBasicStreamData basic;
    if (korvan::fuzz::DecodeAsReceived(in.rest(), in.rest_size(), basic)) {
      CheckStates(basic, tables);
    }
  }
  return 0;
}
