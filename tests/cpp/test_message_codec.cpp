// Wire conventions shared by every message: fixed arrays and sequence counts.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "messages/codec.h"
#include "middleware/zenoh.h"
#include "support/payloads.h"

namespace {

namespace msg = ::korvan::zenoh_msgs::tyr_msg;
using korvan::test::Encoded;
using korvan::test::ExpectReadFails;
using korvan::test::Payload;

const std::string kLength = msg::kSequenceLengthFailure;

TEST(FixedArray, RejectsAWrongCountBeforeReadingAnyElement) {
  for (size_t count : {6u, 8u}) {
    SCOPED_TRACE(count);
    const std::vector<uint8_t> bytes = Payload().Floats(count, 1.0f).Bytes();
    ExpectReadFails(bytes, std::array<float, 7>{9, 9, 9, 9, 9, 9, 9}, msg::kIncorrectSequenceSize);
    const zenoh::Bytes payload(bytes);
    zenoh::Deserializer in(payload);
    std::array<float, 7> target{};
    EXPECT_THROW(msg::Read(in, target), zenoh::ZException);
    EXPECT_EQ(in.bytes_left(), bytes.size() - 1);  // only the one-byte count was consumed
  }
}

// A count that the rest of the payload cannot hold fails before anything is reserved for it.
TEST(Sequence, RefusesCountsThePayloadCannotHold) {
  const std::vector<uint8_t> huge = Payload().Len(size_t{1} << 60).Put(true).Bytes();
  ASSERT_EQ(huge.size(), 10u);
  ExpectReadFails(huge, std::vector<float>{1.0f}, kLength);
  ExpectReadFails(huge, std::vector<std::string>{"kept"}, kLength);
  ExpectReadFails(huge, std::vector<std::vector<float>>{{1.0f}}, kLength);
  ExpectReadFails(huge, std::vector<msg::CartesianStateData>(1), kLength);
  // One element more than is there.
  ExpectReadFails(Payload().Len(3).Put(1.0f).Put(2.0f).Bytes(), std::vector<float>{5}, kLength);
  ExpectReadFails(Payload().Len(3).Str("").Str("").Bytes(), std::vector<std::string>{}, kLength);
  ExpectReadFails(Payload().Len(2).Put(msg::DesiredCartesianData{}).Bytes(),
                  std::vector<msg::DesiredCartesianData>{}, kLength);
}

// The bound must never exceed an element's real size, or valid payloads would be refused.
TEST(Sequence, AcceptsCountsThatExactlyFit) {
  const std::vector<std::string> empties(3);
  EXPECT_EQ(msg::Decode<std::vector<std::string>>(zenoh::Bytes(Encoded(empties)).view()), empties);
  const std::vector<msg::CartesianStateData> poses(3);
  EXPECT_EQ(
      msg::Decode<std::vector<msg::CartesianStateData>>(zenoh::Bytes(Encoded(poses)).view()).size(),
      3u);
  const std::vector<msg::DesiredCartesianData> desired(2);
  EXPECT_EQ(
      msg::Decode<std::vector<msg::DesiredCartesianData>>(zenoh::Bytes(Encoded(desired)).view())
          .size(),
      2u);
}

TEST(Sequence, CutShortFailsOnTheCountOrOnTheElement) {
  // Ends where the second inner count should be.
  ExpectReadFails(Payload().Len(2).Floats(1).Bytes(), std::vector<std::vector<float>>{{7}},
                  kLength);
  // The second string announces more bytes than are left.
  ExpectReadFails(Payload().Len(2).Str("ab").Len(5).Put(true).Bytes(),
                  std::vector<std::string>{"kept"}, "Deserialization failure");
}

}  // namespace
