#include "messages/rpc_messages.h"

#include <utility>

namespace korvan {
namespace zenoh_msgs {
namespace tyr_msg {

void Write(zenoh::Serializer& out, const RPCRequest& record) {
  Write(out, record.request_id);
  Write(out, record.joint_groups);
}

void Read(zenoh::Deserializer& in, RPCRequest& record) {
  RPCRequest fresh;
  Read(in, fresh.request_id);
  Read(in, fresh.joint_groups);
  record = std::move(fresh);
}

// Filled in a fresh record and moved into place only once every field has been read.
void Read(zenoh::Deserializer& in, RPCReply& record) {
  RPCReply fresh;
  Read(in, fresh.request_id);
  Read(in, fresh.success);
  Read(in, fresh.joint_groups);
  Read(in, fresh.int_container);
  Read(in, fresh.string_container);
  Read(in, fresh.float_container);
  Read(in, fresh.float2d_container);
  record = std::move(fresh);
}

void Write(zenoh::Serializer& out, const RPCReply& record) {
  Write(out, record.request_id);
  Write(out, record.success);
  Write(out, record.joint_groups);
  Write(out, record.int_container);
  Write(out, record.string_container);
  Write(out, record.float_container);
  Write(out, record.float2d_container);
}

}  // namespace tyr_msg
}  // namespace zenoh_msgs
}  // namespace korvan
