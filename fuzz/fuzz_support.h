// Shared by the libFuzzer targets: each target's binary holds one LLVMFuzzerTestOneInput and
// links fuzz_support.cpp, whose LLVMFuzzerInitialize silences the default logger once (set
// KVN_FUZZ_LOG=1 to see the library's lines while reproducing an input). A broken invariant
// prints what broke and aborts, which libFuzzer reports like a crash. Single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "messages/codec.h"
#include "middleware/zenoh.h"

namespace korvan::fuzz {

// Reports `what` on stderr and aborts.
[[noreturn]] void Fail(const std::string& what);

inline void Expect(bool holds, const char* what) {
  if (!holds) Fail(what);
}

// The input as a payload owned by the bridge, as a received sample's is.
inline zenoh::Bytes AsPayload(const uint8_t* data, size_t size) { return zenoh::Bytes(data, size); }

// `text` cut at every `separator`; an empty text gives no pieces, any other text one more piece
// than it has separators (so empty pieces stay).
std::vector<std::string> Split(std::string_view text, char separator);

// What the bridge's reader makes of the payload: the record written again, or the failure.
template <class T>
std::string DecodedByTheBridge(const zenoh::Bytes& payload) {
  zenoh::Deserializer in(payload);
  T record;
  try {
    zenoh_msgs::tyr_msg::ReadWhole(in, record);
  } catch (const zenoh::ZException& e) {
    return std::string("failed: ") + e.what();
  }
  const std::vector<uint8_t> encoded = zenoh_msgs::tyr_msg::Encode(record).as_vector();
  return std::string(encoded.begin(), encoded.end());
}

// Decodes the payload as the subscriber and the RPC client do. A payload that decodes must
// survive a round trip through the writer: its encoding decodes again and encodes to the same
// bytes. The bridge's reader, which the client falls back to for a payload in pieces, must give
// the same record or the same failure, and so must decoding into a record that an earlier input
// left behind, as a subscription reuses one. Returns false for a payload that the receiver drops;
// anything but a ZException escapes.
template <class T>
bool DecodeAsReceived(const uint8_t* data, size_t size, T& record) {
  const zenoh::Bytes payload = AsPayload(data, size);
  const std::string by_bridge = DecodedByTheBridge<T>(payload);
  static T spare;  // single-threaded: what the previous inputs left
  std::string reused;
  try {
    zenoh_msgs::tyr_msg::DecodeInto(payload.view(), spare);
    const std::vector<uint8_t> encoded = zenoh_msgs::tyr_msg::Encode(spare).as_vector();
    reused.assign(encoded.begin(), encoded.end());
  } catch (const zenoh::ZException& e) {
    reused = std::string("failed: ") + e.what();
  }
  Expect(reused == by_bridge, "decoding into a used record differs from the bridge's reader");
  try {
    record = zenoh_msgs::tyr_msg::Decode<T>(payload.view());
  } catch (const zenoh::ZException& e) {
    Expect(by_bridge == std::string("failed: ") + e.what(),
           "the bridge's reader fails otherwise or not at all");
    return false;
  }
  const std::vector<uint8_t> encoded = zenoh_msgs::tyr_msg::Encode(record).as_vector();
  Expect(by_bridge == std::string(encoded.begin(), encoded.end()),
         "the bridge's reader decodes another record");
  const zenoh::Bytes again(encoded);
  const T twice = zenoh_msgs::tyr_msg::Decode<T>(again.view());
  Expect(zenoh_msgs::tyr_msg::Encode(twice).as_vector() == encoded,
         "a decoded record does not survive writing and reading it again");
  return true;
}

}  // namespace korvan::fuzz
