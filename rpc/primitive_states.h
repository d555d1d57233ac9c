// Interpretation of the robot's primitive-state reply (remote procedure 3): a flat list of text
// entries "name = value", grouped in blocks that each start with a "jointGroup = N" marker, turned
// into one PrimitiveStates record per joint group. The remote call itself is the caller's: it is
// passed in as a callable, so this code holds no connection and no state of its own. Everything
// runs on the caller's thread; failures are exceptions, never a partial result.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "common/kvn_state.h"
#include "korvantyr/korvantyr.h"

namespace korvan::tyr_impl {

// One state variable of a primitive: integer, double or string, in this order of alternatives.
using PrimitiveValue = std::variant<int32_t, double, std::string>;

// Most requests one query sends while the robot keeps answering with corrupted data.
inline constexpr int kMaxPrimitiveStateRequests = 6;

// One request for the primitive-state texts: fills the list with the reply's strings and returns
// the call's state (code 100000 on success; on failure the list may be left as it was).
using PrimitiveStatesRequest = std::function<KvnState(std::vector<std::string>& strings)>;

// Types one value text by its first word: no word gives the empty string; an optional "-" and
// decimal digits give an integer; a word that reads wholly as a double gives that double; any
// other word stays a string. Throws std::invalid_argument ("invalid stoi argument") for a lone
// "-", std::out_of_range ("stoi argument out of range") for an integer beyond 32 bits.
PrimitiveValue ParsePrimitiveValue(const std::string& value_text);

// Sends the request until a reply has no empty string, at most kMaxPrimitiveStateRequests times,
// and returns that reply's strings. Throws std::runtime_error when a call fails (no retry) or
// when every reply was corrupted.
std::vector<std::string> FetchPrimitiveStateStrings(const PrimitiveStatesRequest& request);

// Cuts the entries into joint-group blocks and builds one record per block. Only joint groups of
// `group_names` (the robot's groups) are accepted. Throws std::runtime_error for a malformed
// reply, the conversion errors of ParsePrimitiveValue and the marker's number, and
// std::bad_variant_access when "jointGroup" is no integer or "primitiveName" no string.
std::map<tyr::JointGroup, tyr::PrimitiveStates> ParsePrimitiveStates(
    const std::vector<std::string>& entries,
    const std::map<tyr::JointGroup, std::string>& group_names);

// The whole query: FetchPrimitiveStateStrings, then ParsePrimitiveStates.
std::map<tyr::JointGroup, tyr::PrimitiveStates> QueryPrimitiveStates(
    const PrimitiveStatesRequest& request,
    const std::map<tyr::JointGroup, std::string>& group_names);

}  // namespace korvan::tyr_impl
