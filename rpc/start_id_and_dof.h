// Interpretation of the robot's start-index and DoF reply (remote procedure 10): per joint group
// the index of its first joint in the robot-wide vectors and its number of joints, which the
// stream's segmentation cuts by. The remote call is the caller's (DataRpc); this code reads the
// reply's containers it is given and logs malformed replies at error level on the default logger.
// Stateless; runs on the caller's thread.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "common/kvn_state.h"
#include "korvantyr/korvantyr.h"

namespace korvan::tyr_impl {

// Fills both maps from the reply's parallel containers, in reply order: start index from
// `int_container`, DoF from `float_container` truncated toward zero; a group listed twice keeps
// its later entry. Returns 100000, or 300000 after an error-level log line when the containers
// differ in length or a DoF is negative, not a number or beyond 64 bits; both maps are then left
// as they were.
KvnState StartIdAndDofFromReply(const std::vector<uint16_t>& joint_groups,
                                const std::vector<int32_t>& int_container,
                                const std::vector<float>& float_container,
                                std::map<tyr::JointGroup, int32_t>& start_ids,
                                std::map<tyr::JointGroup, uint64_t>& dofs);

}  // namespace korvan::tyr_impl
