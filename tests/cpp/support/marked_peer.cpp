#include "support/marked_peer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "middleware/session.h"

namespace korvan::test {

namespace {

const std::string kMarkerKey = "korvan/test/marker";

// A marker's number as its payload: four bytes, little-endian, in the peer's hex.
std::string MarkerHex(uint32_t number) {
  std::vector<uint8_t> bytes;
  for (int byte = 0; byte < 4; ++byte) bytes.push_back(static_cast<uint8_t>(number >> (8 * byte)));
  return ToHex(bytes);
}

}  // namespace

MarkedPeer::MarkedPeer()
    : peer_(std::vector<std::string>{}), session_(zenoh_mdw::AcquireSession()) {
  auto arrived = [this](zenoh::BytesView payload) {
    const std::vector<uint8_t> bytes = payload.as_vector();
    if (bytes.size() != 4) return;
    uint32_t number = 0;
    for (int byte = 3; byte >= 0; --byte) number = number << 8 | bytes[static_cast<size_t>(byte)];
    std::lock_guard<std::mutex> lock(mutex_);
    if (number > newest_) newest_ = number;
    changed_.notify_all();
  };
  marker_ = session_->declare_subscriber(zenoh::KeyExpr(kMarkerKey), arrived);
}

MarkedPeer::~MarkedPeer() { marker_.reset(); }

void MarkedPeer::Put(const std::string& key, const std::string& hex) {
  peer_.WriteLine("put " + key + " " + hex);
  std::optional<std::string> echo = peer_.ReadLine(kPatience);
  ASSERT_EQ(echo.value_or("(none)"), "put " + key);
}

bool MarkedPeer::AwaitMarkers() {
  const uint32_t number = ++numbered_;
  return RepeatUntil(kMarkerKey, MarkerHex(number), [this, number] {
    std::lock_guard<std::mutex> lock(mutex_);
    return newest_ >= number;
  });
}

void MarkedPeer::Settle() {
  const uint32_t number = ++numbered_;
  Put(kMarkerKey, MarkerHex(number));
  std::unique_lock<std::mutex> lock(mutex_);
  ASSERT_TRUE(changed_.wait_for(lock, kPatience, [&] { return newest_ >= number; }))
      << "the marker did not arrive";
}

}  // namespace korvan::test
