// Joint-group segmentation: cuts the robot-wide stream messages into per-group RobotStates and
// RobotActions (slices of the joint vectors widened to double, the group's Cartesian record, the
// local wrenches rotated into the world frame). Pure functions: they take no lock and keep no
// state, so DataStream calls them on its latest message while holding that stream's mutex. They
// never throw on bad stream data: each inconsistency is one error line and an empty map. The
// overloads with a DeferredLog only record that line, so that the caller can write it once its
// mutex is released; the others write it to the default logger before they return. The metadata
// maps are the client's start-up tables, only read here.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "korvantyr/korvantyr.h"
#include "messages/stream_messages.h"
#include "stream/deferred_log.h"

namespace korvan {
namespace tyr_impl {

// One RobotStates per group of `group_names` (joint slices, timestamp of `basic`) plus one per
// group number carried in `basic.joint_group_indices` (Cartesian record and world-frame wrenches).
// `start_ids` is read as unsigned 32-bit; a slice reaching past its vector fails the whole call.
std::map<tyr::JointGroup, tyr::RobotStates> SegmentStates(
    const zenoh_msgs::tyr_msg::AllBasicStreamData& basic,
    const std::map<tyr::JointGroup, std::string>& group_names,
    const std::map<tyr::JointGroup, int32_t>& start_ids,
    const std::map<tyr::JointGroup, uint64_t>& dofs);
std::map<tyr::JointGroup, tyr::RobotStates> SegmentStates(
    const zenoh_msgs::tyr_msg::AllBasicStreamData& basic,
    const std::map<tyr::JointGroup, std::string>& group_names,
    const std::map<tyr::JointGroup, int32_t>& start_ids,
    const std::map<tyr::JointGroup, uint64_t>& dofs, DeferredLog& log);

// Same for the commanded values. The extra stream carries no time stamp: `basic_timestamp` is the
// latest basic message's, passed by value so the caller can read it under the basic mutex and
// release that mutex before taking the extra one. Desired Cartesian values are not rotated.
std::map<tyr::JointGroup, tyr::RobotActions> SegmentActions(
    std::pair<int32_t, uint32_t> basic_timestamp,
    const zenoh_msgs::tyr_msg::AllExtraStreamData& extra,
    const std::map<tyr::JointGroup, std::string>& group_names,
    const std::map<tyr::JointGroup, int32_t>& start_ids,
    const std::map<tyr::JointGroup, uint64_t>& dofs);
std::map<tyr::JointGroup, tyr::RobotActions> SegmentActions(
    std::pair<int32_t, uint32_t> basic_timestamp,
    const zenoh_msgs::tyr_msg::AllExtraStreamData& extra,
    const std::map<tyr::JointGroup, std::string>& group_names,
    const std::map<tyr::JointGroup, int32_t>& start_ids,
    const std::map<tyr::JointGroup, uint64_t>& dofs, DeferredLog& log);

}  // namespace tyr_impl
}  // namespace korvan
