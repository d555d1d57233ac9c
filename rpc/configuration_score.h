// Interpretation of the robot's manipulability reply (remote procedure 9) and the configuration
// score built from it: six manipulability values per joint group, two of which are mapped onto
// scores from 0 to 100. The remote call is the caller's (DataRpc); this code reads the reply's
// containers it is given and logs malformed replies at error level on the default logger.
// Stateless; runs on the caller's thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "common/kvn_state.h"
#include "korvantyr/korvantyr.h"

namespace korvan::tyr_impl {

// A joint group's manipulability values, packed floats 2 to 7 of the reply widened to double.
using ManipulabilityValues = std::array<double, 6>;

// Fewest floats a packed vector of the reply must hold.
inline constexpr size_t kMinPackedManipulabilitySize = 8;

// Below this value both scores fall from 20 towards 0.
inline constexpr double kScoreLowerThreshold = 0.08;
// First score: from ManipulabilityValues position 2, 40 at mid, 100 at mid + span.
inline constexpr size_t kFirstScoreIndex = 2;
inline constexpr double kFirstScoreMid = 0.15;
inline constexpr double kFirstScoreSpan = 0.07;
// Second score: from ManipulabilityValues position 5.
inline constexpr size_t kSecondScoreIndex = 5;
inline constexpr double kSecondScoreMid = 0.3;
inline constexpr double kSecondScoreSpan = 0.45;

// Fills `values` from the reply's parallel containers, in reply order; a group listed twice keeps
// its later values. Returns 100000, or 300000 after an error-level log line when the containers
// differ in length (map untouched) or a packed vector is too short (the map then holds the groups
// read before it).
KvnState ManipulabilityFromReply(const std::vector<uint16_t>& joint_groups,
                                 const std::vector<std::vector<float>>& float2d_container,
                                 std::map<tyr::JointGroup, ManipulabilityValues>& values);

// Piecewise-linear score of x, rising from 0 (x = 0) through 20 (x = 0.08) and 40 (x = mid) to
// 100 (x = mid + span and above); 0 for a negative x or NaN. Needs mid > 0.08 and span > 0.
double ScoreFromManipulability(double x, double mid, double span);

// The pair (first score, second score) of every joint group of `values`.
std::map<tyr::JointGroup, std::pair<double, double>> ConfigurationScores(
    const std::map<tyr::JointGroup, ManipulabilityValues>& values);

}  // namespace korvan::tyr_impl
