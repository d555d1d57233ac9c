#include "rpc/start_id_and_dof.h"

#include <spdlog/spdlog.h>

#include <cstddef>

namespace korvan::tyr_impl {

namespace {

// 2^64: the first float that no longer fits an unsigned 64-bit integer.
constexpr float kDofLimit = 18446744073709551616.0f;

// A DoF travels as a float; only values whose truncation fits an unsigned 64-bit integer are
// numbers of joints. Negative values are refused even where truncation would give 0.
bool IsValidDof(float dof) { return dof >= 0.0f && dof < kDofLimit; }

}  // namespace

KvnState StartIdAndDofFromReply(const std::vector<uint16_t>& joint_groups,
                                const std::vector<int32_t>& int_container,
                                const std::vector<float>& float_container,
                                std::map<tyr::JointGroup, int32_t>& start_ids,
                                std::map<tyr::JointGroup, uint64_t>& dofs) {
  const size_t n = joint_groups.size();
  if (int_container.size() != n || float_container.size() != n) {
    spdlog::error(
        "Malformed start ID reply: size mismatch between joint_groups, int_container, and "
        "float_container");
    return MakeGeneralState(kKvnStateFault);
  }
  // Every DoF is checked before either map changes, so a bad one leaves both as they were.
  for (size_t i = 0; i < n; ++i) {
    if (!IsValidDof(float_container[i])) {
      spdlog::error("Malformed start ID reply: invalid DoF [{}] for joint group [{}]",
                    float_container[i], joint_groups[i]);
      return MakeGeneralState(kKvnStateFault);
    }
  }

  start_ids.clear();
  dofs.clear();
  for (size_t i = 0; i < n; ++i) {
    const auto group = static_cast<tyr::JointGroup>(joint_groups[i]);
    start_ids[group] = int_container[i];
    dofs[group] = static_cast<uint64_t>(float_container[i]);  // truncated toward zero
  }
  return MakeGeneralState(kKvnStateOk);
}

}  // namespace korvan::tyr_impl
