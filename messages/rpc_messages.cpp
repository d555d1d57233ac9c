#include "messages/rpc_messages.h"

#include <utility>

namespace korvan {
namespace zenoh_msgs {
namespace tyr_msg {

void Write(zenoh::Serializer& out, const RPCRequest& record) {
  Write(out, record.request_id);
  Write(out, record.joint_groups);
}

template <class In>
void ReadInto(In& in, RPCRequest& record) {
  ReadInto(in, record.request_id);
  ReadInto(in, record.joint_groups);
}

template <class In>
void ReadInto(In& in, RPCReply& record) {
  ReadInto(in, record.request_id);
  ReadInto(in, record.success);
  ReadInto(in, record.joint_groups);
  ReadInto(in, record.int_container);
  ReadInto(in, record.string_container);
  ReadInto(in, record.float_container);
  ReadInto(in, record.float2d_container);
}

// The two readers of codec.h.
template void ReadInto(PayloadReader&, RPCRequest&);
template void ReadInto(PayloadReader&, RPCReply&);
template void ReadInto(zenoh::Deserializer&, RPCRequest&);
template void ReadInto(zenoh::Deserializer&, RPCReply&);

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
