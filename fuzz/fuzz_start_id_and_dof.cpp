// Reads a start-index and DoF reply decoded from the input, as DataRpc::GetStartIdAndDof does at
// start-up. A refused reply leaves both maps as they were; an accepted one gives every joint
// group of the reply the start index and the truncated DoF of its last entry.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>

#include "common/kvn_state.h"
#include "fuzz/fuzz_support.h"
#include "korvantyr/korvantyr.h"
#include "messages/rpc_messages.h"
#include "rpc/start_id_and_dof.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using korvan::fuzz::Expect;
  using korvan::tyr::JointGroup;
  korvan::zenoh_msgs::tyr_msg::RPCReply reply;
  if (!korvan::fuzz::DecodeAsReceived(data, size, reply)) return 0;

  const std::map<JointGroup, int32_t> starts_before{{JointGroup::UNKNOWN, 5}};
  const std::map<JointGroup, uint64_t> dofs_before{{JointGroup::UNKNOWN, 9}};
  auto start_ids = starts_before;
  auto dofs = dofs_before;
  const KvnState state = korvan::tyr_impl::StartIdAndDofFromReply(
      reply.joint_groups, reply.int_container, reply.float_container, start_ids, dofs);
  if (state.code != kKvnStateOk) {
    Expect(state.code == kKvnStateFault, "a result code other than 100000 and 300000");
    Expect(start_ids == starts_before && dofs == dofs_before, "a refused reply changed the maps");
    return 0;
  }

  std::map<JointGroup, size_t> last;
  for (size_t i = 0; i < reply.joint_groups.size(); ++i) {
    last[static_cast<JointGroup>(reply.joint_groups[i])] = i;
  }
  Expect(start_ids.size() == last.size() && dofs.size() == last.size(),
         "not one entry per joint group of the reply");
  for (const auto& [group, i] : last) {
    const float dof = reply.float_container[i];
    Expect(start_ids.at(group) == reply.int_container[i], "a start index is not the reply's");
    Expect(static_cast<float>(dofs.at(group)) == std::trunc(dof),
           "a DoF is not the reply's truncated toward zero");
  }
  return 0;
}
