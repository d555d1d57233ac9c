#include "support/marked_peer.h"

#include <gtest/gtest.h>

#include <vector>

#include "middleware/session.h"

namespace korvan::test {

namespace {

const std::string kMarkerKey = "korvan/test/marker";

}  // namespace

MarkedPeer::MarkedPeer()
    : peer_(std::vector<std::string>{}), session_(zenoh_mdw::AcquireSession()) {
  marker_ = session_->declare_subscriber(zenoh::KeyExpr(kMarkerKey), [this](zenoh::BytesView) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++markers_;
    changed_.notify_all();
  });
}

MarkedPeer::~MarkedPeer() { marker_.reset(); }

void MarkedPeer::Put(const std::string& key, const std::string& hex) {
  peer_.WriteLine("put " + key + " " + hex);
  std::optional<std::string> echo = peer_.ReadLine(kPatience);
  ASSERT_EQ(echo.value_or("(none)"), "put " + key);
}

bool MarkedPeer::AwaitMarkers() {
  return RepeatUntil(kMarkerKey, "", [this] {
    std::lock_guard<std::mutex> lock(mutex_);
    return markers_ > 0;
  });
}

void MarkedPeer::Settle() {
  int target = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    target = markers_ + 1;
  }
  Put(kMarkerKey, "");
  std::unique_lock<std::mutex> lock(mutex_);
  ASSERT_TRUE(changed_.wait_for(lock, kPatience, [&] { return markers_ >= target; }))
      << "the marker did not arrive";
}

}  // namespace korvan::test
