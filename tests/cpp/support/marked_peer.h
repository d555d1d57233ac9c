// A scripted Zenoh peer that puts samples on command, for tests of what a subscriber does with
// them. To know that a sample has been handled without reading the subscriber's target while a
// handler may write it, a put on the sample's key is followed by a put on a marker key that this
// helper subscribes to: one peer's puts reach us in order over one link, so once the marker has
// arrived the samples put before it have been handled. Each marker carries a number of its own:
// a marker repeated while routes were forming, or one late on a loaded machine, cannot pass for
// a later one. The test thread owns it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "middleware/zenoh.h"
#include "support/peer_process.h"
#include "support/test_util.h"

namespace korvan::test {

class MarkedPeer {
 public:
  static constexpr auto kPatience = std::chrono::seconds(10);

  // Starts the peer, then takes the process-wide session and subscribes to the marker key on it.
  MarkedPeer();
  // Undeclares the marker subscription, then ends the peer.
  ~MarkedPeer();
  MarkedPeer(const MarkedPeer&) = delete;
  MarkedPeer& operator=(const MarkedPeer&) = delete;

  const std::shared_ptr<zenoh::Session>& session() const { return session_; }

  // Has the peer put `hex` on `key`; a test failure if the peer does not confirm it.
  void Put(const std::string& key, const std::string& hex);

  // Routes take a moment to reach the peer: puts `hex` on `key` again until `arrived` holds
  // (giving it 200 ms each time), at most 50 times. False if it never held.
  template <class Condition>
  bool RepeatUntil(const std::string& key, const std::string& hex, Condition arrived) {
    for (int attempt = 0; attempt < 50; ++attempt) {
      Put(key, hex);
      if (WaitUntil(arrived, std::chrono::milliseconds(200))) return true;
    }
    return false;
  }

  // Repeats markers until one arrives; false if none ever did.
  bool AwaitMarkers();

  // Puts a marker and returns once it has arrived, so every sample put before has been handled;
  // a test failure if it does not arrive within kPatience.
  void Settle();

 private:
  PeerProcess peer_;
  std::shared_ptr<zenoh::Session> session_;
  std::mutex mutex_;  // guards newest_
  std::condition_variable changed_;
  uint32_t newest_ = 0;  // the highest marker number arrived
  uint32_t numbered_ = 0;  // the last marker number put (the test thread's)
  std::optional<zenoh::Subscriber> marker_;
};

}  // namespace korvan::test
