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

// Decodes the payload as the subscriber and the RPC client do. A payload that decodes must
// survive a round trip through the writer: its encoding decodes again and encodes to the same
// bytes. Returns false for a payload that the receiver drops; anything but a ZException escapes.
template <class T>
bool DecodeAsReceived(const uint8_t* data, size_t size, T& record) {
  const zenoh::Bytes payload = AsPayload(data, size);
  try {
    record = zenoh_msgs::tyr_msg::Decode<T>(payload.view());
  } catch (const zenoh::ZException&) {
    return false;
  }
  const std::vector<uint8_t> encoded = zenoh_msgs::tyr_msg::Encode(record).as_vector();
  const zenoh::Bytes again(encoded);
  const T twice = zenoh_msgs::tyr_msg::Decode<T>(again.view());
  Expect(zenoh_msgs::tyr_msg::Encode(twice).as_vector() == encoded,
         "a decoded record does not survive writing and reading it again");
  return true;
}

}  // namespace korvan::fuzz
