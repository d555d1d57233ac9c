// Converts the strings of a plan-info reply, taken from the input (separated by "\n"), as
// DataRpc::GetPlanInfo does. Nothing may escape; a refused reply leaves the record as it was
// when its count is wrong, an accepted one holds the six texts unchanged.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/kvn_state.h"
#include "fuzz/fuzz_support.h"
#include "korvantyr/korvantyr.h"
#include "rpc/plan_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using korvan::fuzz::Expect;
  const std::vector<std::string> strings =
      korvan::fuzz::Split(std::string_view(reinterpret_cast<const char*>(data), size), '\n');
  korvan::tyr::PlanInfo info{};
  info.pt_name = "before";
  const KvnState state = korvan::tyr_impl::PlanInfoFromStrings(strings, info);
  Expect(state.code == kKvnStateOk || state.code == kKvnStateFault,
         "a result code other than 100000 and 300000");
  if (strings.size() != korvan::tyr_impl::kPlanInfoStringCount) {
    Expect(state.code == kKvnStateFault && info.pt_name == "before",
           "a reply without eight strings was used");
    return 0;
  }
  Expect(info.pt_name == strings[0] && info.node_name == strings[1] &&
             info.node_path == strings[2] && info.node_path_time_period == strings[3] &&
             info.node_path_number == strings[4] && info.assigned_plan_name == strings[5],
         "the plan-info texts were not copied unchanged");
  return 0;
}
