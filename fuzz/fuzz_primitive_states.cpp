// Runs the primitive-state query on replies taken from the input, as Client::primitive_states
// does. Input: byte 0 says which joint groups the client learnt at start-up (bit n: group n, for
// the groups that have a name); the rest is the robot's replies, one after another, separated by
// a zero byte, each reply's strings separated by "\n". A request after the last reply fails like
// a call that got no reply. Every outcome is a result or one of the query's documented errors:
// the query's own runtime errors, the integer conversion's two, a bad variant access.

#include <cstddef>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/kvn_state.h"
#include "fuzz/fuzz_support.h"
#include "korvantyr/korvantyr.h"
#include "rpc/primitive_states.h"
#include "rpc/text_conversion.h"

namespace {

using korvan::fuzz::Expect;
using korvan::tyr::JointGroup;

constexpr std::string_view kQueryPrefix = "[korvan::tyr::Client::primitive_states] ";

std::map<JointGroup, std::string> GroupsOf(uint8_t bits) {
  std::map<JointGroup, std::string> groups;
  for (const auto& [group, name] : korvan::tyr::kJointGroupNames) {
    const auto number = static_cast<int32_t>(group);
    if (number >= 0 && number < 8 && (bits >> number) & 1) groups.emplace(group, name);
  }
  return groups;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::map<JointGroup, std::string> groups = GroupsOf(data[0]);
  const std::vector<std::string> texts = korvan::fuzz::Split(
      std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1), '\0');
  size_t sent = 0;
  const korvan::tyr_impl::PrimitiveStatesRequest request =
      [&texts, &sent](std::vector<std::string>& strings) {
        if (sent == texts.size()) return MakeGeneralState(kKvnStateFault);
        strings = korvan::fuzz::Split(texts[sent++], '\n');
        return MakeGeneralState(kKvnStateOk);
      };

  std::map<JointGroup, korvan::tyr::PrimitiveStates> states;
  try {
    states = korvan::tyr_impl::QueryPrimitiveStates(request, groups);
  } catch (const std::invalid_argument& e) {
    Expect(std::string(e.what()) == korvan::tyr_impl::kInvalidStoiArgument,
           "an invalid argument other than the integer conversion's");
    return 0;
  } catch (const std::out_of_range& e) {
    Expect(std::string(e.what()) == korvan::tyr_impl::kStoiArgumentOutOfRange,
           "an out-of-range error other than the integer conversion's");
    return 0;
  } catch (const std::bad_variant_access&) {
    return 0;
  } catch (const std::runtime_error& e) {
    Expect(std::string_view(e.what()).substr(0, kQueryPrefix.size()) == kQueryPrefix,
           "a runtime error that is not the query's own");
    return 0;
  }
  Expect(sent >= 1 && sent <= static_cast<size_t>(korvan::tyr_impl::kMaxPrimitiveStateRequests),
         "the query sent no request or more than the most it may send");
  for (const auto& [group, record] : states) {
    Expect(groups.count(group) == 1, "a record for a group the client did not learn");
    Expect(record.names_and_values.count("jointGroup") == 0 &&
               record.names_and_values.count("primitiveName") == 0,
           "the marker or the primitive name is left among the state variables");
  }
  return 0;
}
