// Decodes the input as the RPC client decodes every reply.

#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "messages/rpc_messages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  korvan::zenoh_msgs::tyr_msg::RPCReply record;
  korvan::fuzz::DecodeAsReceived(data, size, record);
  return 0;
}
