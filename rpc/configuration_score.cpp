#include "rpc/configuration_score.h"

#include <spdlog/spdlog.h>

#include <algorithm>

namespace korvan::tyr_impl {

KvnState ManipulabilityFromReply(const std::vector<uint16_t>& joint_groups,
                                 const std::vector<std::vector<float>>& float2d_container,
                                 std::map<tyr::JointGroup, ManipulabilityValues>& values) {
  if (float2d_container.size() != joint_groups.size()) {
    spdlog::error(
        "Malformed manipulability reply: size mismatch between joint_groups and "
        "float2d_container");
    return MakeGeneralState(kKvnStateFault);
  }

  values.clear();
  for (size_t i = 0; i < joint_groups.size(); ++i) {
    const std::vector<float>& packed = float2d_container[i];
    if (packed.size() < kMinPackedManipulabilitySize) {
      spdlog::error(
          "Malformed manipulability reply: packed vector size [{}], expecting at least [{}]",
          packed.size(), kMinPackedManipulabilitySize);
      return MakeGeneralState(kKvnStateFault);
    }
    ManipulabilityValues& group = values[static_cast<tyr::JointGroup>(joint_groups[i])];
    std::copy(packed.begin() + 2, packed.begin() + 8, group.begin());
  }
  return MakeGeneralState(kKvnStateOk);
}

double ScoreFromManipulability(double x, double mid, double span) {
  if (x >= mid) return std::min(40.0 + (x - mid) / span * 60.0, 100.0);
  if (x >= kScoreLowerThreshold) {
    return 20.0 + (x - kScoreLowerThreshold) / (mid - kScoreLowerThreshold) * 20.0;
  }
  if (x >= 0.0) return x / kScoreLowerThreshold * 20.0;
  return 0.0;  // negative or NaN
}

std::map<tyr::JointGroup, std::pair<double, double>> ConfigurationScores(
    const std::map<tyr::JointGroup, ManipulabilityValues>& values) {
  std::map<tyr::JointGroup, std::pair<double, double>> scores;
  for (const auto& [group, manipulability] : values) {
    scores.emplace(group,
                   std::make_pair(ScoreFromManipulability(manipulability[kFirstScoreIndex],
                                                          kFirstScoreMid, kFirstScoreSpan),
                                  ScoreFromManipulability(manipulability[kSecondScoreIndex],
                                                          kSecondScoreMid, kSecondScoreSpan)));
  }
  return scores;
}

}  // namespace korvan::tyr_impl
