// Decodes the input as the extra stream's subscriber decodes every sample.

#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "messages/stream_messages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  korvan::zenoh_msgs::tyr_msg::AllExtraStreamData record;
  korvan::fuzz::DecodeAsReceived(data, size, record);
  return 0;
}
