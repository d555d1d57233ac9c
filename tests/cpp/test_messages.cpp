// The stream and RPC records: wire order, round trips, and which broken payload fails how.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "messages/rpc_messages.h"
#include "messages/stream_messages.h"
#include "middleware/zenoh.h"
#include "support/payloads.h"

namespace {

namespace msg = ::korvan::zenoh_msgs::tyr_msg;
using korvan::test::Encoded;
using korvan::test::ExpectReadFails;
using korvan::test::Payload;

template <class T>
T DecodeBytes(const std::vector<uint8_t>& bytes) {
  return msg::Decode<T>(zenoh::Bytes(bytes).view());
}

// A basic message written token by token in wire order, with the fixed arrays' lengths as given.
struct BasicShape {
  size_t aux_flags = 8, digital_inputs = 20, triple = 3, pose = 7;
};

std::vector<uint8_t> BasicPayload(const BasicShape& shape = {}) {
  Payload p;
  p.Put(uint16_t{513}).Put(int16_t{-7}).Put(true).Put(false);
  p.Bools(shape.aux_flags, true).Bools(shape.digital_inputs).Bools(20, true);
  p.Len(2).Put(uint16_t{3}).Put(uint16_t{4});  // two joint groups, one Cartesian record below
  for (int i = 0; i < 9; ++i) p.Floats(2, 10.0f * static_cast<float>(i));  // q ... temperature
  p.Len(1).Floats(shape.triple, 90).Len(0);
  p.Len(1).Floats(shape.pose, 100).Floats(7, 200);
  for (int i = 0; i < 5; ++i) p.Floats(6, 300.0f + 100.0f * static_cast<float>(i));
  return p.Put(int32_t{-12}).Put(uint32_t{4000000000u}).Bytes();
}

TEST(StreamMessages, BasicFieldsComeInWireOrder) {
  const msg::AllBasicStreamData m = DecodeBytes<msg::AllBasicStreamData>(BasicPayload());
  EXPECT_EQ(m.safety_io.aux_value, -7);
  EXPECT_TRUE(m.safety_io.estop_released && m.safety_io.aux_flags[7]);
  EXPECT_FALSE(m.safety_io.enabling_device_on || m.safety_io.digital_inputs[19]);
  EXPECT_TRUE(m.safety_io.digital_outputs[0]);
  EXPECT_EQ(m.joint_group_indices, (std::vector<uint16_t>{3, 4}));
  EXPECT_EQ(m.joint_data.dtheta, (std::vector<float>{30, 31}));
  EXPECT_EQ(m.joint_data.temperature, (std::vector<float>{80, 81}));
  ASSERT_EQ(m.joint_data.aux_triples_1.size(), 1u);
  EXPECT_EQ(m.joint_data.aux_triples_1[0], (std::array<float, 3>{90, 91, 92}));
  ASSERT_EQ(m.cartesian_data.size(), 1u);
  EXPECT_EQ(m.cartesian_data[0].tcp_pose[0], 200);
  EXPECT_EQ(m.cartesian_data[0].raw_tcp_wrench_local[0], 600);
  EXPECT_EQ(m.cartesian_data[0].raw_ft_sensor[5], 705);
  EXPECT_EQ(m.timestamp, (std::pair<int32_t, uint32_t>{-12, 4000000000u}));
}

TEST(StreamMessages, RoundTripThroughWriterAndReader) {
  const std::vector<uint8_t> basic = Encoded(korvan::test::SampleBasic());
  EXPECT_EQ(Encoded(DecodeBytes<msg::AllBasicStreamData>(basic)), basic);
  msg::AllExtraStreamData extra;
  extra.joint_group_indices = {5};
  extra.desired_joint_data.tau_d = {7.0f, 8.0f};
  extra.cartesian_data.resize(1);
  extra.cartesian_data[0].tcp_wrench_d[5] = 6.0f;
  EXPECT_EQ(Encoded(DecodeBytes<msg::AllExtraStreamData>(Encoded(extra))), Encoded(extra));
  const auto empty = DecodeBytes<msg::AllBasicStreamData>(Encoded(msg::AllBasicStreamData{}));
  EXPECT_TRUE(empty.joint_group_indices.empty() && empty.cartesian_data.empty());
}

TEST(StreamMessages, BrokenBasicPayloadsFailAndKeepTheTarget) {
  const std::string kSize = msg::kIncorrectSequenceSize, kLength = msg::kSequenceLengthFailure;
  const std::string kElement = "Deserialization failure";
  const std::vector<uint8_t> good = BasicPayload();
  auto cut = [&good](size_t size) {
    return std::vector<uint8_t>(good.begin(), good.begin() + size);
  };
  std::vector<uint8_t> one_too_many = good;
  one_too_many.push_back(0);
  const msg::SafetyIoData io;
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    std::string message;
  } cases[] = {
      {"one byte too many", one_too_many, msg::kTrailingBytes},
      {"empty payload", {}, kElement},
      {"digital_inputs of 16", BasicPayload({8, 16, 3, 7}), kSize},
      {"aux_flags of 7", BasicPayload({7, 20, 3, 7}), kSize},
      {"aux_flags of 9", BasicPayload({9, 20, 3, 7}), kSize},
      {"triple of 2", BasicPayload({8, 20, 2, 7}), kSize},
      {"triple of 4", BasicPayload({8, 20, 4, 7}), kSize},
      {"pose of 8", BasicPayload({8, 20, 3, 8}), kSize},
      {"cut inside the timestamp", cut(good.size() - 2), kElement},
      {"cut inside digital_outputs", cut(2 + 2 + 1 + 1 + 9 + 21 + 5), kElement},
      // A Cartesian record has a fixed size: a cut inside one shows already at the count.
      {"cut inside a Cartesian record", cut(good.size() - 8 - 3), kLength},
      {"cut before a count", Payload().Put(io).Bytes(), kLength},
      {"count of 2^60", Payload().Put(io).Len(0).Len(size_t{1} << 60).Put(1.0f).Bytes(), kLength},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectReadFails(c.bytes, korvan::test::SampleBasic(), c.message);
  }
}

// The client reads whole messages with the reader over contiguous bytes and falls back to the
// bridge's reader for a payload in pieces: on every payload both must give the same record, or
// fail with the same message. Each case is a valid message, cut short at every byte or with one
// byte replaced by a value that matters to the format.
struct Outcome {
  std::vector<uint8_t> record;  // the decoded record written again; empty on failure
  std::string error;
};

template <class T>
Outcome DecodeWithTheBridge(const std::vector<uint8_t>& bytes) {
  const zenoh::Bytes payload(bytes);
  zenoh::Deserializer in(payload);
  try {
    T record;
    msg::ReadWhole(in, record);
    return {Encoded(record), ""};
  } catch (const zenoh::ZException& e) {
    return {{}, e.what()};
  }
}

template <class T>
Outcome DecodeFromContiguousBytes(const std::vector<uint8_t>& bytes, T& spare) {
  try {
    msg::DecodeInto(zenoh::Bytes(bytes).view(), spare);
    return {Encoded(spare), ""};
  } catch (const zenoh::ZException& e) {
    return {{}, e.what()};
  }
}

template <class T>
void ExpectReadersAgree(const std::vector<uint8_t>& good) {
  std::vector<std::vector<uint8_t>> payloads;
  for (size_t size = 0; size <= good.size(); ++size) {
    payloads.emplace_back(good.begin(), good.begin() + size);
  }
  for (size_t at = 0; at < good.size(); ++at) {
    for (uint8_t value : {0x00, 0x01, 0x02, 0x06, 0x7f, 0x80, 0xff}) {
      payloads.push_back(good);
      payloads.back()[at] = value;
    }
  }
  // One spare for all of them, as a subscription keeps it: what an earlier payload left in it,
  // failed or not, must never show in a later record.
  T spare{};
  size_t decoded = 0;
  for (const std::vector<uint8_t>& bytes : payloads) {
    const Outcome bridge = DecodeWithTheBridge<T>(bytes);
    const Outcome contiguous = DecodeFromContiguousBytes(bytes, spare);
    ASSERT_EQ(contiguous.error, bridge.error) << ::testing::PrintToString(bytes);
    ASSERT_EQ(contiguous.record, bridge.record) << ::testing::PrintToString(bytes);
    decoded += bridge.error.empty() ? 1 : 0;
  }
  EXPECT_GT(decoded, 1u);  // the good payload and some of the replaced bytes
}

TEST(Readers, AgreeOnEveryBrokenPayload) {
  {
    SCOPED_TRACE("basic");
    ExpectReadersAgree<msg::AllBasicStreamData>(BasicPayload());
  }
  {
    SCOPED_TRACE("basic, sample");
    ExpectReadersAgree<msg::AllBasicStreamData>(Encoded(korvan::test::SampleBasic()));
  }
  {
    SCOPED_TRACE("extra");
    msg::AllExtraStreamData extra;
    extra.joint_group_indices = {3, 4};
    extra.desired_joint_data.q_d = {1.0f, 2.0f};
    extra.desired_joint_data.tau_d = {-3.0f};
    extra.cartesian_data.resize(2);
    extra.cartesian_data[1].tcp_pose_d[3] = 1.0f;
    ExpectReadersAgree<msg::AllExtraStreamData>(Encoded(extra));
  }
  {
    SCOPED_TRACE("reply");
    ExpectReadersAgree<msg::RPCReply>(Encoded(korvan::test::SampleReply()));
  }
}

TEST(RpcMessages, RequestIsTheIdThenTheJointGroups) {
  EXPECT_EQ(Encoded(msg::RPCRequest{1, {}}), (std::vector<uint8_t>{0x01, 0x00, 0x00}));
  EXPECT_EQ(Encoded(msg::RPCRequest{0x0102, {3, 5}}),
            (std::vector<uint8_t>{0x02, 0x01, 0x02, 0x03, 0x00, 0x05, 0x00}));
}

TEST(RpcMessages, ReplyRoundTripKeepsEveryContainer) {
  const msg::RPCReply sample = korvan::test::SampleReply();
  const msg::RPCReply r = DecodeBytes<msg::RPCReply>(Encoded(sample));
  EXPECT_EQ(r.request_id, 9);
  EXPECT_TRUE(r.success);
  EXPECT_EQ(r.joint_groups, sample.joint_groups);
  EXPECT_EQ(r.int_container, sample.int_container);
  EXPECT_EQ(r.string_container, sample.string_container);  // "a\0b" keeps its zero byte
  EXPECT_EQ(r.float_container, sample.float_container);
  EXPECT_EQ(r.float2d_container, (std::vector<std::vector<float>>{{1, 2, 3}, {}, {4}}));
}

TEST(RpcMessages, ReplyWithOnlyStringsStillCarriesEveryContainer) {
  auto strings_only = [] {
    Payload p;
    p.Put(uint16_t{2}).Put(true).Len(0).Len(0).Len(1).Str("v2.1");
    return p;
  };
  const msg::RPCReply r = DecodeBytes<msg::RPCReply>(strings_only().Len(0).Len(0).Bytes());
  EXPECT_EQ(r.string_container, (std::vector<std::string>{"v2.1"}));
  EXPECT_TRUE(r.joint_groups.empty() && r.float2d_container.empty());

  ExpectReadFails(strings_only().Bytes(), korvan::test::SampleReply(), msg::kSequenceLengthFailure);
  std::vector<uint8_t> one_too_many = Encoded(korvan::test::SampleReply());
  one_too_many.push_back(1);
  ExpectReadFails(one_too_many, korvan::test::SampleReply(), msg::kTrailingBytes);
}

}  // namespace
