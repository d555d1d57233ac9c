// The Zenoh layer without a network: the serializer's bytes, the deserializer's checks, key
// expressions and the exception text.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "messages/payload_reader.h"
#include "middleware/zenoh.h"

namespace {

namespace msg = ::korvan::zenoh_msgs::tyr_msg;
using ::testing::HasSubstr;

std::vector<uint8_t> Hex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::vector<uint8_t> Serialized(const std::function<void(zenoh::Serializer&)>& write) {
  zenoh::Serializer serializer;
  write(serializer);
  return serializer.finish().as_vector();
}

uint32_t Bits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

struct EncodingCase {
  const char* name;
  std::function<void(zenoh::Serializer&)> write;
  const char* hex;
};

void PrintTo(const EncodingCase& c, std::ostream* os) { *os << c.name; }

class SerializerBytes : public ::testing::TestWithParam<EncodingCase> {};

TEST_P(SerializerBytes, MatchZenohFormat) {
  EXPECT_EQ(Serialized(GetParam().write), Hex(GetParam().hex));
}

// Little-endian numbers, bool as one byte, LEB128 lengths, strings as length + raw bytes.
INSTANTIATE_TEST_SUITE_P(
    Primitives, SerializerBytes,
    ::testing::Values(
        EncodingCase{"BoolTrue", [](auto& s) { s.serialize(true); }, "01"},
        EncodingCase{"BoolFalse", [](auto& s) { s.serialize(false); }, "00"},
        EncodingCase{"Int16", [](auto& s) { s.serialize(int16_t{0x1234}); }, "3412"},
        EncodingCase{"Int16Negative", [](auto& s) { s.serialize(int16_t{-2}); }, "feff"},
        EncodingCase{"Uint16", [](auto& s) { s.serialize(uint16_t{0xfe01}); }, "01fe"},
        EncodingCase{"Int32", [](auto& s) { s.serialize(int32_t{0x01020304}); }, "04030201"},
        EncodingCase{"Int32Min", [](auto& s) { s.serialize(INT32_MIN); }, "00000080"},
        EncodingCase{"Uint32", [](auto& s) { s.serialize(uint32_t{0xa0b0c0d0}); }, "d0c0b0a0"},
        EncodingCase{"Float", [](auto& s) { s.serialize(1.0f); }, "0000803f"},
        EncodingCase{"FloatNegative", [](auto& s) { s.serialize(-2.5f); }, "000020c0"},
        EncodingCase{"Length0", [](auto& s) { s.serialize_sequence_length(0); }, "00"},
        EncodingCase{"Length127", [](auto& s) { s.serialize_sequence_length(127); }, "7f"},
        EncodingCase{"Length128", [](auto& s) { s.serialize_sequence_length(128); }, "8001"},
        EncodingCase{"Length300", [](auto& s) { s.serialize_sequence_length(300); }, "ac02"},
        EncodingCase{"Length16384", [](auto& s) { s.serialize_sequence_length(16384); }, "808001"},
        EncodingCase{
            "LengthMax",
            [](auto& s) { s.serialize_sequence_length(std::numeric_limits<size_t>::max()); },
            "ffffffffffffffffff01"},
        EncodingCase{"EmptyString", [](auto& s) { s.serialize(std::string_view()); }, "00"},
        EncodingCase{"StringLiteralIsAString", [](auto& s) { s.serialize("ab"); }, "026162"},
        EncodingCase{"StringWithZeroByte",
                     [](auto& s) { s.serialize(std::string_view("a\0b", 3)); }, "03610062"},
        EncodingCase{"StringNotUtf8", [](auto& s) { s.serialize(std::string_view("\xff\xfe")); },
                     "02fffe"},
        EncodingCase{"FieldsInOrder",
                     [](auto& s) {
                       s.serialize(uint16_t{1});
                       s.serialize_sequence_length(2);
                       s.serialize(true);
                       s.serialize(false);
                     },
                     "0100020100"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Serializer, LongStringGetsTwoByteLength) {
  std::string text(128, 'x');
  std::vector<uint8_t> expected = {0x80, 0x01};
  expected.insert(expected.end(), text.begin(), text.end());
  EXPECT_EQ(Serialized([&](auto& s) { s.serialize(text); }), expected);
}

TEST(Serializer, CannotBeUsedAfterFinish) {
  zenoh::Serializer serializer;
  serializer.serialize(true);
  zenoh::Bytes payload = serializer.finish();
  EXPECT_EQ(payload.size(), 1u);
  EXPECT_THROW(serializer.serialize(true), zenoh::ZException);
  EXPECT_THROW(serializer.finish(), zenoh::ZException);
}

TEST(Deserializer, ReadsBackEveryPrimitive) {
  const std::string binary("\0\xff\x80zz", 5);
  zenoh::Serializer serializer;
  serializer.serialize(true);
  serializer.serialize(int16_t{INT16_MIN});
  serializer.serialize(uint16_t{UINT16_MAX});
  serializer.serialize(int32_t{-123456789});
  serializer.serialize(uint32_t{UINT32_MAX});
  serializer.serialize(-0.0f);
  serializer.serialize(std::numeric_limits<float>::infinity());
  serializer.serialize(std::numeric_limits<float>::quiet_NaN());
  serializer.serialize(binary);
  serializer.serialize_sequence_length(300);
  serializer.serialize(std::string_view());
  zenoh::Bytes payload = serializer.finish();

  zenoh::Deserializer deserializer(payload);
  EXPECT_TRUE(deserializer.deserialize_bool());
  EXPECT_EQ(deserializer.deserialize_int16(), INT16_MIN);
  EXPECT_EQ(deserializer.deserialize_uint16(), UINT16_MAX);
  EXPECT_EQ(deserializer.deserialize_int32(), -123456789);
  EXPECT_EQ(deserializer.deserialize_uint32(), UINT32_MAX);
  EXPECT_EQ(Bits(deserializer.deserialize_float()), Bits(-0.0f));
  EXPECT_EQ(deserializer.deserialize_float(), std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(deserializer.deserialize_float()));
  EXPECT_EQ(deserializer.deserialize_string(), binary);
  EXPECT_EQ(deserializer.deserialize_sequence_length(), 300u);
  EXPECT_EQ(deserializer.deserialize_string(), "");
  EXPECT_TRUE(deserializer.is_done());
  EXPECT_EQ(deserializer.bytes_left(), 0u);
}

TEST(Deserializer, ReportsProgressThroughThePayload) {
  zenoh::Bytes payload(
      Hex("0100"
          "03616263"
          "01"));
  zenoh::Deserializer deserializer(payload);
  EXPECT_FALSE(deserializer.is_done());
  EXPECT_EQ(deserializer.bytes_left(), 7u);
  EXPECT_EQ(deserializer.deserialize_uint16(), 1u);
  EXPECT_EQ(deserializer.bytes_left(), 5u);
  EXPECT_EQ(deserializer.deserialize_string(), "abc");
  EXPECT_EQ(deserializer.bytes_left(), 1u);
  EXPECT_FALSE(deserializer.is_done());
  EXPECT_TRUE(deserializer.deserialize_bool());
  EXPECT_TRUE(deserializer.is_done());
}

TEST(Deserializer, AcceptsNonCanonicalLengthAndCountsItsBytes) {
  // 0x80 0x00 is a LEB128 zero written on two bytes; zenoh-ext reads it as 0.
  zenoh::Bytes payload(Hex("800001"));
  zenoh::Deserializer deserializer(payload);
  EXPECT_EQ(deserializer.deserialize_sequence_length(), 0u);
  EXPECT_EQ(deserializer.bytes_left(), 1u);
}

TEST(Deserializer, WorksOverABorrowedPayload) {
  zenoh::Bytes payload(Hex("0500"));
  zenoh::Deserializer deserializer(payload.view());
  EXPECT_EQ(deserializer.deserialize_int16(), 5);
  EXPECT_TRUE(deserializer.is_done());
}

// Each case runs on the bridge's reader and on the one over contiguous bytes that the client
// decodes whole messages with: both must fail the same way.
struct FailureCase {
  const char* name;
  const char* hex;
  std::function<void(zenoh::Deserializer&)> read;
  std::function<void(msg::PayloadReader&)> read_contiguous;
};

template <class Read>
FailureCase Fails(const char* name, const char* hex, Read read) {
  return {name, hex, read, read};
}

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class DeserializerFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(DeserializerFailure, ThrowsDeserializationError) {
  const std::vector<uint8_t> bytes = Hex(GetParam().hex);
  zenoh::Bytes payload(bytes);
  zenoh::Deserializer deserializer(payload);
  std::string bridge_message;
  try {
    GetParam().read(deserializer);
    FAIL() << "no exception";
  } catch (const zenoh::ZException& e) {
    EXPECT_EQ(e.code(), zenoh::kErrDeserialize);
    EXPECT_THAT(e.what(), HasSubstr("Deserialization failure"));
    bridge_message = e.what();
  }
  msg::PayloadReader contiguous({bytes.data(), bytes.size()});
  try {
    GetParam().read_contiguous(contiguous);
    ADD_FAILURE() << "no exception from the contiguous reader";
  } catch (const zenoh::ZException& e) {
    EXPECT_EQ(e.code(), zenoh::kErrDeserialize);
    EXPECT_EQ(e.what(), bridge_message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    TruncatedOrInvalid, DeserializerFailure,
    ::testing::Values(
        Fails("BoolFromNothing", "", [](auto& d) { d.deserialize_bool(); }),
        Fails("BoolOutOfRange", "02", [](auto& d) { d.deserialize_bool(); }),
        Fails("Int16FromOneByte", "01", [](auto& d) { d.deserialize_int16(); }),
        Fails("Uint16FromOneByte", "01", [](auto& d) { d.deserialize_uint16(); }),
        Fails("Int32FromThreeBytes", "010203", [](auto& d) { d.deserialize_int32(); }),
        Fails("Uint32FromThreeBytes", "010203", [](auto& d) { d.deserialize_uint32(); }),
        Fails("FloatFromThreeBytes", "000080", [](auto& d) { d.deserialize_float(); }),
        Fails("LengthFromNothing", "", [](auto& d) { d.deserialize_sequence_length(); }),
        Fails("LengthWithoutLastByte", "8080", [](auto& d) { d.deserialize_sequence_length(); }),
        Fails("LengthOverflowing64Bits", "ffffffffffffffffff7f",
              [](auto& d) { d.deserialize_sequence_length(); }),
        Fails("LengthWithATenthByteAboveOne", "ffffffffffffffffff02",
              [](auto& d) { d.deserialize_sequence_length(); }),
        Fails("StringFromNothing", "", [](auto& d) { d.deserialize_string(); }),
        Fails("StringShorterThanItsLength", "036162", [](auto& d) { d.deserialize_string(); }),
        // A length of 2^56 must be refused, not allocated.
        Fails("StringWithHugeLength", "8080808080808080016162",
              [](auto& d) { d.deserialize_string(); }),
        Fails("SecondValueMissing", "0100",
              [](auto& d) {
                d.deserialize_uint16();
                d.deserialize_uint16();
              })),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Deserializer, SequenceLengthFailureNamesTheLength) {
  zenoh::Bytes payload;
  zenoh::Deserializer deserializer(payload);
  try {
    deserializer.deserialize_sequence_length();
    FAIL() << "no exception";
  } catch (const zenoh::ZException& e) {
    EXPECT_STREQ(e.what(),
                 "Deserialization failure:: Failed to read sequence length(Error code: -7 )");
  }
}

TEST(Deserializer, ShortReadConsumesNothing) {
  zenoh::Bytes payload(Hex("01"));
  zenoh::Deserializer deserializer(payload);
  EXPECT_THROW(deserializer.deserialize_int16(), zenoh::ZException);
  EXPECT_EQ(deserializer.bytes_left(), 1u);
  EXPECT_TRUE(deserializer.deserialize_bool());
  EXPECT_TRUE(deserializer.is_done());
}

TEST(Bytes, CopiesTheGivenBytes) {
  std::vector<uint8_t> data = {0, 1, 0xff};
  zenoh::Bytes bytes(data);
  data[0] = 9;
  EXPECT_EQ(bytes.as_vector(), (std::vector<uint8_t>{0, 1, 0xff}));
  EXPECT_EQ(zenoh::Bytes().size(), 0u);
  EXPECT_EQ(zenoh::Bytes(std::string_view("a\0b", 3)).size(), 3u);
}

TEST(Bytes, MoveTransfersThePayload) {
  zenoh::Bytes source(Hex("0a0b"));
  zenoh::Bytes target(std::move(source));
  EXPECT_EQ(target.as_vector(), Hex("0a0b"));
  zenoh::Bytes other(Hex("01"));
  other = std::move(target);
  EXPECT_EQ(other.as_vector(), Hex("0a0b"));
}

TEST(KeyExpr, CanonisesItsText) {
  EXPECT_EQ(zenoh::KeyExpr("korvan/robot/AB-1/rpc").as_string_view(), "korvan/robot/AB-1/rpc");
  EXPECT_EQ(zenoh::KeyExpr("a/**/**/b").as_string_view(), "a/**/b");
  EXPECT_EQ(zenoh::KeyExpr("a/**/*").as_string_view(), "a/*/**");
}

TEST(KeyExpr, RefusedTextThrowsWithTheWholeText) {
  for (const char* text : {"korvan/robot/AB#1/rpc", "korvan/robot/AB?1/rpc", "", "a//b"}) {
    try {
      zenoh::KeyExpr key_expr(text);
      ADD_FAILURE() << "accepted: '" << text << "'";
    } catch (const zenoh::ZException& e) {
      EXPECT_EQ(e.code(), zenoh::kErrInvalid) << text;
      EXPECT_EQ(std::string(e.what()),
                std::string("Failed to construct KeyExpr from: ") + text + "(Error code: -1 )");
    }
  }
}

TEST(KeyExpr, TextThatIsNotUtf8IsAParseError) {
  try {
    zenoh::KeyExpr key_expr(std::string_view("a/\xff"));
    FAIL() << "accepted";
  } catch (const zenoh::ZException& e) {
    EXPECT_EQ(e.code(), zenoh::kErrParse);
  }
}

TEST(ZException, TextIsMessageThenErrorCode) {
  zenoh::ZException error("Failed to open session", -1);
  EXPECT_STREQ(error.what(), "Failed to open session(Error code: -1 )");
  EXPECT_EQ(error.code(), -1);
  EXPECT_STREQ(zenoh::ZException("Failed to perform get operation", zenoh::kErrGeneric).what(),
               "Failed to perform get operation(Error code: -128 )");
  EXPECT_STREQ(zenoh::ZException("x", 0).what(), "x(Error code: 0 )");
}

TEST(ZException, CheckResultThrowsOnlyOnFailure) {
  EXPECT_NO_THROW(zenoh::CheckResult(zenoh::kOk, "never"));
  try {
    zenoh::CheckResult(zenoh::kErrDeserialize, "Deserialization failure");
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Deserialization failure(Error code: -7 )");
    EXPECT_EQ(dynamic_cast<const zenoh::ZException&>(e).code(), -7);
  }
}

}  // namespace
