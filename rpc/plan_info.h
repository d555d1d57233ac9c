// Interpretation of the robot's plan-info reply (remote procedure 4): exactly eight texts turned
// into a PlanInfo record. The remote call is the caller's (DataRpc); this code only reads the
// strings it is given and logs malformed replies at error level on the default logger.
// Stateless; runs on the caller's thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "common/kvn_state.h"
#include "korvantyr/korvantyr.h"

namespace korvan::tyr_impl {

// Number of texts in a plan-info reply.
inline constexpr size_t kPlanInfoStringCount = 8;

// Fills `info` from the reply's texts: positions 0 to 5 copied into the string fields, 6 read as
// a double (velocity_scale), 7 as an integer that is true unless 0 (waiting_for_step).
// Returns 100000, or 300000 after an error-level log line when the count is not eight (record
// untouched) or a conversion fails (the fields set before the failing one keep their new values).
KvnState PlanInfoFromStrings(const std::vector<std::string>& strings, tyr::PlanInfo& info);

}  // namespace korvan::tyr_impl
