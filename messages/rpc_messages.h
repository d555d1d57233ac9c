// Records of a remote call on the robot's data service: the client writes an RPCRequest and reads
// the RPCReply. Fields are declared in wire order; every field is always on the wire (empty
// containers as a count of 0). A default reply is id 0, no success, every container empty.
// The decoder does not judge the reply (id echo, success, container sizes): the caller does.
// Plain values, no locking.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "messages/codec.h"
#include "middleware/zenoh.h"

namespace korvan {
namespace zenoh_msgs {
namespace tyr_msg {

struct RPCRequest {
  uint16_t request_id = 0;             // number of the remote procedure
  std::vector<uint16_t> joint_groups;  // empty for procedures that take none
};

struct RPCReply {
  uint16_t request_id = 0;  // echo of the request's number
  bool success = false;
  std::vector<uint16_t> joint_groups;  // what the parallel containers below refer to
  std::vector<int32_t> int_container;
  std::vector<std::string> string_container;
  std::vector<float> float_container;
  std::vector<std::vector<float>> float2d_container;
};

void Write(zenoh::Serializer& out, const RPCRequest& record);
template <class In>
void ReadInto(In& in, RPCRequest& record);

template <class In>
void ReadInto(In& in, RPCReply& record);
void Write(zenoh::Serializer& out, const RPCReply& record);

}  // namespace tyr_msg
}  // namespace zenoh_msgs
}  // namespace korvan
