#include "client/serial_number.h"

#include <stdexcept>
#include <vector>

namespace korvan::tyr_impl {

namespace {

constexpr const char* kInvalidSerialNumber =
    "[korvan::tyr::Client] Format of the provided robot serial number is invalid";

[[noreturn]] void Reject() { throw std::invalid_argument(kInvalidSerialNumber); }

// ASCII only: every byte of 0x80 or above is neither a letter nor a digit.
bool IsLetterOrDigit(char byte) {
  return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
         (byte >= '0' && byte <= '9');
}

}  // namespace

std::string NormalizeSerialNumber(const std::string& robot_sn) {
  if (robot_sn.empty()) Reject();
  if (robot_sn.find('_') != std::string::npos) Reject();

  const size_t last_hyphen = robot_sn.rfind('-');
  if (last_hyphen == std::string::npos || last_hyphen == 0 || last_hyphen == robot_sn.size() - 1) {
    Reject();
  }
  const std::string model = robot_sn.substr(0, last_hyphen);
  const std::string unit = robot_sn.substr(last_hyphen + 1);

  // The unit part goes into key expressions as it is; "*" and "$" would make them match other
  // robots' keys ("/*", "/**", "$*"), so the client would read another robot's data.
  if (unit.find_first_of("*$") != std::string::npos) Reject();

  std::vector<std::string> words;
  std::string word;
  for (char byte : model) {
    if (IsLetterOrDigit(byte)) {
      word.push_back(byte);
    } else if (byte == ' ' || byte == '-') {
      if (word.empty()) Reject();
      words.push_back(std::move(word));
      word.clear();
    } else {
      Reject();
    }
  }
  if (word.empty()) Reject();
  words.push_back(std::move(word));

  std::string canonical;
  for (const std::string& each : words) {
    canonical.append(each).push_back('-');
  }
  canonical.append(unit);
  return canonical;
}

}  // namespace korvan::tyr_impl
