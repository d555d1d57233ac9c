// Small helpers shared by the network tests: hex text for payloads (the scripted peers take and
// print payloads as lowercase hex) and waiting on a condition with a deadline instead of sleeping
// for a fixed time. Called from the test thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace korvan::test {

// Lowercase hex, two digits per byte, no separators.
inline std::string ToHex(const std::vector<uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t byte : bytes) {
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 0x0f]);
  }
  return hex;
}

// Calls `condition` until it returns true (then true) or `within` has passed (then false),
// pausing `pause` between calls.
template <class Condition>
bool WaitUntil(Condition condition, std::chrono::nanoseconds within,
               std::chrono::nanoseconds pause = std::chrono::milliseconds(1)) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(pause);
  }
  return true;
}

}  // namespace korvan::test
