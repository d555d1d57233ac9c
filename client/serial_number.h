// Robot serial number check: brings the user's text into the one canonical form that names the
// robot in every key expression. Pure function, no state, callable from any thread.
#pragma once

#include <string>

namespace korvan::tyr_impl {

// Returns the canonical serial number: the model part's words (letters and digits, separated by
// single spaces or hyphens) joined by hyphens, then a hyphen and the unit part unchanged.
// Throws std::invalid_argument when the text does not have that shape, or when the unit part
// holds a character that would turn the robot's key expressions into wildcards ("*" or "$").
std::string NormalizeSerialNumber(const std::string& robot_sn);

}  // namespace korvan::tyr_impl
