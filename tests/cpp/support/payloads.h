// Test payloads written with the real serializer, token by token (to shape broken messages) or
// whole records through the message writers; sample records; the decode-failure check.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "messages/codec.h"
#include "messages/rpc_messages.h"
#include "messages/stream_messages.h"
#include "middleware/zenoh.h"

namespace korvan {
namespace test {

namespace msg = ::korvan::zenoh_msgs::tyr_msg;

class Payload {
 public:
  // Anything the message writers know: primitives (exact types), containers, records.
  template <class T>
  Payload& Put(const T& value) {
    msg::Write(out_, value);
    return *this;
  }
  Payload& Str(std::string_view value) {
    out_.serialize(value);
    return *this;
  }
  Payload& Len(size_t count) {
    out_.serialize_sequence_length(count);
    return *this;
  }
  // A count, then that many values: `value` each, or first, first + 1, ...
  Payload& Bools(size_t count, bool value = false) {
    Len(count);
    for (size_t i = 0; i < count; ++i) Put(value);
    return *this;
  }
  Payload& Floats(size_t count, float first = 0.0f) {
    Len(count);
    for (size_t i = 0; i < count; ++i) Put(first + static_cast<float>(i));
    return *this;
  }
  std::vector<uint8_t> Bytes() { return out_.finish().as_vector(); }

 private:
  zenoh::Serializer out_;
};

template <class T>
std::vector<uint8_t> Encoded(const T& record) {
  return msg::Encode(record).as_vector();
}

// Non-default records, so that a decode failure that touched the target shows.
inline msg::AllBasicStreamData SampleBasic() {
  msg::AllBasicStreamData m;
  m.safety_io.aux_code = 513;
  m.safety_io.digital_inputs[19] = true;
  m.joint_group_indices = {0, 3};
  m.joint_data.q = {1.5f, -2.25f};
  m.joint_data.aux_triples_2 = {{1.0f, 2.0f, 3.0f}};
  m.cartesian_data.resize(2);
  m.cartesian_data[1].raw_ft_sensor[5] = -9.5f;
  m.timestamp = {-12, 4000000000u};
  return m;
}

inline msg::RPCReply SampleReply() {
  msg::RPCReply r;
  r.request_id = 9;
  r.success = true;
  r.joint_groups = {2, 3};
  r.int_container = {-1, 70000};
  r.string_container = {"v2.1", std::string("a\0b", 3), ""};
  r.float_container = {0.25f};
  r.float2d_container = {{1.0f, 2.0f, 3.0f}, {}, {4.0f}};
  return r;
}

// Expects decoding `bytes` as a T to fail with `message` and code -7, through Decode and through
// Read into `target`, which must keep its value (bytes left over are Decode's check alone).
template <class T>
void ExpectReadFails(const std::vector<uint8_t>& bytes, T target, const std::string& message) {
  const std::vector<uint8_t> before = Encoded(target);
  const zenoh::Bytes payload(bytes);
  try {
    target = msg::Decode<T>(payload.view());
    ADD_FAILURE() << "decoded although expected: " << message;
  } catch (const zenoh::ZException& e) {
    EXPECT_EQ(std::string(e.what()), message + "(Error code: -7 )");
    EXPECT_EQ(e.code(), zenoh::kErrDeserialize);
  }
  zenoh::Deserializer in(payload);
  try {
    msg::Read(in, target);
    EXPECT_EQ(message, msg::kTrailingBytes);
  } catch (const zenoh::ZException& e) {
    EXPECT_EQ(std::string(e.what()), message + "(Error code: -7 )");
    EXPECT_EQ(Encoded(target), before);
  }
}

}  // namespace test
}  // namespace korvan
