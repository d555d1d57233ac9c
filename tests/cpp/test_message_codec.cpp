// Wire conventions shared by every message: fixed arrays and sequence counts.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "messages/codec.h"
#include "messages/rpc_messages.h"
#include "middleware/zenoh.h"
#include "support/payloads.h"

namespace {

// Bytes asked of operator new on this thread while counting is on.
thread_local bool counting = false;
thread_local size_t requested = 0;

}  // namespace

// Counts what this test binary's C++ code allocates (Zenoh's own allocations are Rust's). GCC
// cannot tell that these replacements pair malloc with free.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(size_t size) {
  if (counting) requested += size;
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace {

namespace msg = ::korvan::zenoh_msgs::tyr_msg;

// Bytes that `work` asks of operator new, freed or not.
template <class Work>
size_t BytesAllocatedBy(Work work) {
  requested = 0;
  counting = true;
  work();
  counting = false;
  return requested;
}
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

// A reply whose containers hold many small elements: each costs one byte or so on the wire but up
// to 32 in memory. What decoding it may allocate is bounded by the payload's size, whichever
// reader runs (the bridge's reads a payload that arrived in pieces, as a large reply does).
TEST(Sequence, StorageStaysWithinASmallMultipleOfThePayload) {
  constexpr size_t kPayload = size_t{16} << 20;
  // A serialized payload is its values one after another: a count of 0 and an empty string are
  // both one zero byte, so runs of them are appended as zeros.
  const auto head = [](size_t empty_containers, size_t count) {
    Payload head;
    head.Put(uint16_t{7}).Put(true);
    for (size_t i = 0; i < empty_containers; ++i) head.Len(0);
    return head.Len(count).Bytes();
  };
  const auto zeros = [](std::vector<uint8_t> bytes, size_t count) {
    bytes.resize(bytes.size() + count, 0);
    return bytes;
  };
  // Empty strings followed by enough floats that the count is just within the limit: the most
  // storage an accepted reply of this shape can ask for.
  const size_t floats = kPayload / 5;
  const size_t strings = (msg::kSequenceStorageAllowance + 16 * floats) / 28;
  std::vector<uint8_t> backed = zeros(head(2, strings), strings);
  const std::vector<uint8_t> tail = Payload().Floats(floats, 0.5f).Len(0).Bytes();
  backed.insert(backed.end(), tail.begin(), tail.end());

  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    bool decodes;
  };
  const std::vector<Case> cases = {
      {"empty strings", zeros(head(2, kPayload), kPayload + 2), false},
      {"empty rows of floats", zeros(head(4, kPayload), kPayload), false},
      {"empty strings backed by floats", std::move(backed), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const zenoh::Bytes payload(c.bytes);
    const size_t limit = 8 * c.bytes.size() + 2 * msg::kSequenceStorageAllowance;
    msg::RPCReply reply;
    const size_t contiguous = BytesAllocatedBy([&] {
      try {
        reply = msg::Decode<msg::RPCReply>(payload.view());
        EXPECT_TRUE(c.decodes);
      } catch (const zenoh::ZException& e) {
        EXPECT_FALSE(c.decodes);
        EXPECT_EQ(std::string(e.what()), kLength + "(Error code: -7 )");
      }
    });
    EXPECT_LE(contiguous, limit) << "a payload of " << c.bytes.size() << " bytes";
    if (c.decodes) {
      EXPECT_EQ(reply.string_container.size(), strings);
      EXPECT_EQ(reply.float_container.size(), floats);
    }
    const size_t in_pieces = BytesAllocatedBy([&] {
      zenoh::Deserializer in(payload);
      msg::RPCReply read;
      try {
        msg::ReadWhole(in, read);
        EXPECT_TRUE(c.decodes);
      } catch (const zenoh::ZException& e) {
        EXPECT_FALSE(c.decodes);
        EXPECT_EQ(e.code(), zenoh::kErrDeserialize);
      }
    });
    EXPECT_LE(in_pieces, limit) << "a payload of " << c.bytes.size() << " bytes";
  }
}

}  // namespace
