#include "rpc/plan_info.h"

#include <spdlog/spdlog.h>

#include <stdexcept>

#include "rpc/text_conversion.h"

namespace korvan::tyr_impl {

KvnState PlanInfoFromStrings(const std::vector<std::string>& strings, tyr::PlanInfo& info) {
  if (strings.size() != kPlanInfoStringCount) {
    spdlog::error("[korvan::tyr::Client] Size of plan info container is incorrect");
    return MakeGeneralState(kKvnStateFault);
  }

  info.pt_name = strings[0];
  info.node_name = strings[1];
  info.node_path = strings[2];
  info.node_path_time_period = strings[3];
  info.node_path_number = strings[4];
  info.assigned_plan_name = strings[5];
  try {
    info.velocity_scale = StringToDouble(strings[6]);
    info.waiting_for_step = StringToInt(strings[7]) != 0;
  } catch (const std::logic_error& e) {  // std::invalid_argument or std::out_of_range
    spdlog::error("Invalid PlanInfo string conversion: {}", e.what());
    return MakeGeneralState(kKvnStateFault);
  }
  return MakeGeneralState(kKvnStateOk);
}

}  // namespace korvan::tyr_impl
