#include "client/serial_number.h"

#include <cstddef>
#include <stdexcept>

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

  // The model's words are copied as they come; each separator becomes one hyphen, and it must
  // follow a word, so an empty word (leading, doubled or trailing separator) is refused.
  std::string canonical;
  canonical.reserve(robot_sn.size());
  size_t word_length = 0;
  for (char byte : model) {
    if (IsLetterOrDigit(byte)) {
      canonical.push_back(byte);
      ++word_length;
    } else if ((byte == ' ' || byte == '-') && word_length != 0) {
      canonical.push_back('-');
      word_length = 0;
    } else {
      Reject();
    }
  }
  if (word_length == 0) Reject();
  canonical.push_back('-');
  canonical.append(unit);
  return canonical;
}

}  // namespace korvan::tyr_impl
