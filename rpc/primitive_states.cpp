#include "rpc/primitive_states.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <variant>

#include "rpc/text_conversion.h"

namespace korvan::tyr_impl {

namespace {

constexpr char kMarker[] = "jointGroup";
constexpr size_t kMarkerLength = sizeof(kMarker) - 1;
constexpr char kPrimitiveName[] = "primitiveName";

constexpr char kNoReply[] = "[korvan::tyr::Client::primitive_states] No reply from the robot";
constexpr char kStillCorrupted[] =
    "[korvan::tyr::Client::primitive_states] Still received corrupted data after several "
    "attempts";
constexpr char kMalformedEntry[] =
    "[korvan::tyr::Client::primitive_states] Malformed primitive state entry";
constexpr char kUnknownGroup[] =
    "[korvan::tyr::Client::primitive_states] Received primitive states for unknown joint group";
constexpr char kDuplicateGroup[] =
    "[korvan::tyr::Client::primitive_states] Duplicate primitive states for a joint group";
constexpr char kMissingMarker[] =
    "[korvan::tyr::Client::primitive_states] Malformed primitive states: missing jointGroup "
    "marker";
constexpr char kMissingKeys[] =
    "[korvan::tyr::Client::primitive_states] Malformed primitive states: jointGroup or "
    "primitiveName missing";
constexpr char kInconsistentGroup[] =
    "[korvan::tyr::Client::primitive_states] Inconsistent joint group in primitive states";

// std::get's failure as users read it ("std::get: wrong index for variant"), whichever C++
// standard library the build uses: libc++ words it otherwise. The type stays
// std::bad_variant_access.
class WrongVariantIndex : public std::bad_variant_access {
 public:
  const char* what() const noexcept override { return "std::get: wrong index for variant"; }
};

template <typename T>
const T& Get(const PrimitiveValue& value) {
  if (const T* held = std::get_if<T>(&value)) return *held;
  throw WrongVariantIndex();
}

// [+-]digits[.digits][(e|E)[+-]digits], with at least one digit before the exponent.
bool IsDecimalNumber(const std::string& word) {
  const auto digit = [&](size_t i) { return i < word.size() && word[i] >= '0' && word[i] <= '9'; };
  const auto sign = [&](size_t i) { return i < word.size() && (word[i] == '+' || word[i] == '-'); };
  size_t i = sign(0) ? 1 : 0;
  size_t digits = 0;
  for (; digit(i); ++i) ++digits;
  if (i < word.size() && word[i] == '.') {
    for (++i; digit(i); ++i) ++digits;
  }
  if (digits == 0) return false;
  if (i < word.size() && (word[i] == 'e' || word[i] == 'E')) {
    i = sign(i + 1) ? i + 2 : i + 1;
    if (!digit(i)) return false;
    while (digit(i)) ++i;
  }
  return i == word.size();
}

bool IsMarker(const std::string& entry) { return entry.compare(0, kMarkerLength, kMarker) == 0; }

bool IsCorrupted(const std::vector<std::string>& strings) {
  return std::any_of(strings.begin(), strings.end(),
                     [](const std::string& s) { return s.empty(); });
}

bool IsOptionallyNegativeDigits(const std::string& word) {
  const size_t digits = (!word.empty() && word.front() == '-') ? 1 : 0;
  return word.find_first_not_of("0123456789", digits) == std::string::npos;
}

using Blocks = std::map<int32_t, std::vector<std::string>>;

Blocks CutIntoBlocks(const std::vector<std::string>& entries,
                     const std::map<tyr::JointGroup, std::string>& group_names) {
  Blocks blocks;
  Blocks::iterator current = blocks.end();
  for (const std::string& entry : entries) {
    if (!IsMarker(entry)) {
      if (current == blocks.end()) throw std::runtime_error(kMissingMarker);
      current->second.push_back(entry);
      continue;
    }
    const size_t equals = entry.find('=');
    if (equals == std::string::npos) throw std::runtime_error(kMalformedEntry);
    const int32_t group = StringToInt(entry.substr(equals + 1));
    if (group_names.count(static_cast<tyr::JointGroup>(group)) == 0) {
      throw std::runtime_error(kUnknownGroup);
    }
    const auto [inserted, is_new] = blocks.emplace(group, std::vector<std::string>{entry});
    if (!is_new) throw std::runtime_error(kDuplicateGroup);
    current = inserted;
  }
  return blocks;
}

tyr::PrimitiveStates BuildRecord(int32_t group, const std::vector<std::string>& block) {
  std::map<std::string, PrimitiveValue> variables;
  for (const std::string& entry : block) {
    const size_t equals = entry.find('=');
    if (equals == std::string::npos || equals == 0) throw std::runtime_error(kMalformedEntry);
    // The robot writes "name = value": the character before "=" is the separating blank.
    std::string name = entry.substr(0, equals - 1);
    PrimitiveValue value = ParsePrimitiveValue(entry.substr(equals + 1));
    variables.emplace(std::move(name), std::move(value));  // the first entry of a name wins
  }

  const auto marker = variables.find(kMarker);
  const auto primitive_name = variables.find(kPrimitiveName);
  if (marker == variables.end() || primitive_name == variables.end()) {
    throw std::runtime_error(kMissingKeys);
  }
  if (Get<int32_t>(marker->second) != group) throw std::runtime_error(kInconsistentGroup);

  tyr::PrimitiveStates record;
  record.pt_name = Get<std::string>(primitive_name->second);
  variables.erase(marker);
  variables.erase(primitive_name);
  record.names_and_values = std::move(variables);
  return record;
}

}  // namespace

PrimitiveValue ParsePrimitiveValue(const std::string& value_text) {
  std::string word;
  std::istringstream words(value_text);
  words >> word;
  if (word.empty()) return word;

  if (IsOptionallyNegativeDigits(word)) return StringToInt(word);

  // A decimal number: its value as the C library reads it. Subnormal values (1e-310) are taken as
  // they are, since one tiny variable must not fail the whole query; a value beyond the range of
  // a double (1e400) stays text. The grammar is checked here rather than left to a stream, whose
  // answers differ between C++ standard libraries (libc++ reads hexadecimal, 0x1p3, and refuses
  // subnormal values).
  if (IsDecimalNumber(word)) {
    errno = 0;
    const double number = std::strtod(word.c_str(), nullptr);
    if (errno != ERANGE || std::fabs(number) != HUGE_VAL) return number;
  }
  return word;
}

std::vector<std::string> FetchPrimitiveStateStrings(const PrimitiveStatesRequest& request) {
  std::vector<std::string> strings;
  for (int sent = 1;; ++sent) {
    if (request(strings).code != kKvnStateOk) throw std::runtime_error(kNoReply);
    if (!IsCorrupted(strings)) return strings;
    if (sent >= kMaxPrimitiveStateRequests) throw std::runtime_error(kStillCorrupted);
  }
}

std::map<tyr::JointGroup, tyr::PrimitiveStates> ParsePrimitiveStates(
    const std::vector<std::string>& entries,
    const std::map<tyr::JointGroup, std::string>& group_names) {
  std::map<tyr::JointGroup, tyr::PrimitiveStates> result;
  for (const auto& [group, block] : CutIntoBlocks(entries, group_names)) {
    result.emplace(static_cast<tyr::JointGroup>(group), BuildRecord(group, block));
  }
  return result;
}

std::map<tyr::JointGroup, tyr::PrimitiveStates> QueryPrimitiveStates(
    const PrimitiveStatesRequest& request,
    const std::map<tyr::JointGroup, std::string>& group_names) {
  return ParsePrimitiveStates(FetchPrimitiveStateStrings(request), group_names);
}

}  // namespace korvan::tyr_impl
