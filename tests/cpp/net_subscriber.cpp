// Typed subscriber against a scripted peer that puts stream payloads on command (see
// support/marked_peer.h). Runs inside a private network namespace.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "messages/stream_messages.h"
#include "middleware/session.h"
#include "middleware/subscriber.h"
#include "middleware/zenoh.h"
#include "support/marked_peer.h"
#include "support/peer_process.h"
#include "support/test_util.h"

namespace {

using korvan::test::MarkedPeer;
using korvan::test::PeerProcess;
using korvan::test::ToHex;
using korvan::zenoh_mdw::AcquireSession;
using korvan::zenoh_mdw::Subscriber;
using korvan::zenoh_msgs::tyr_msg::AllBasicStreamData;
using std::chrono::milliseconds;

constexpr auto kPatience = std::chrono::seconds(10);
const std::string kStreamKey = "korvan/robot/KV-7-0042/basic_stream_data";

// A message that tells itself apart by `tag` in several fields, so a partly applied sample shows.
AllBasicStreamData Message(uint16_t tag) {
  AllBasicStreamData message;
  message.safety_io.aux_code = tag;
  message.safety_io.estop_released = (tag % 2) == 1;
  message.safety_io.digital_inputs[tag % 20] = true;
  message.joint_group_indices = {0, 3};
  message.joint_data.q = {0.5f * tag, 1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f};
  message.joint_data.aux_triples_1 = {{1.0f, 2.0f, static_cast<float>(tag)}};
  message.cartesian_data.resize(2);
  message.cartesian_data[1].tcp_pose[0] = tag;
  message.timestamp = {tag, 1000u + tag};
  return message;
}

std::vector<uint8_t> Payload(const AllBasicStreamData& message) {
  return korvan::zenoh_msgs::tyr_msg::Encode(message).as_vector();
}

std::string Hex(const AllBasicStreamData& message) { return ToHex(Payload(message)); }

bool SameMessage(const AllBasicStreamData& a, const AllBasicStreamData& b) {
  return Payload(a) == Payload(b);
}

// What the owner sees: the target record and the callback, which copies the target as the stream
// owner does. Optionally the callback throws after copying.
struct Owner {
  AllBasicStreamData target;
  std::mutex mutex;  // guards seen and throw_on_tag
  std::vector<AllBasicStreamData> seen;
  int throw_on_tag = -1;

  std::function<void()> Callback() {
    return [this] {
      std::lock_guard<std::mutex> lock(mutex);
      seen.push_back(target);
      if (target.safety_io.aux_code == throw_on_tag) throw std::runtime_error("callback fails");
    };
  }
  size_t SeenCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return seen.size();
  }
  AllBasicStreamData LastSeen() {
    std::lock_guard<std::mutex> lock(mutex);
    return seen.empty() ? AllBasicStreamData() : seen.back();
  }
  std::vector<uint16_t> SeenTags() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<uint16_t> tags;
    for (const AllBasicStreamData& each : seen) tags.push_back(each.safety_io.aux_code);
    return tags;
  }
};

class TypedSubscriber : public testing::Test {
 protected:
  void SetUp() override {
    peer_ = std::make_unique<MarkedPeer>();
    subscriber_ = std::make_unique<Subscriber<AllBasicStreamData>>(
        peer_->session(), owner_.Callback(), owner_.target, kStreamKey);
    // Routes take a moment to reach the peer: repeat the first message until it arrives.
    const std::string first = Hex(Message(1));
    ASSERT_TRUE(peer_->RepeatUntil(kStreamKey, first, [this] { return owner_.SeenCount() > 0; }))
        << "the peer's samples never arrived";
    ASSERT_TRUE(peer_->AwaitMarkers()) << "the peer's markers never arrived";
    // Repeated first messages may still be in flight: wait until they are all handled.
    PutAndSettle(first);
    baseline_ = owner_.SeenCount();
  }

  void TearDown() override {
    subscriber_.reset();
    peer_.reset();
  }

  void Put(const std::string& key, const std::string& hex) { peer_->Put(key, hex); }

  // Puts one stream payload and returns once the subscriber has handled it.
  void PutAndSettle(const std::string& hex) {
    Put(kStreamKey, hex);
    peer_->Settle();
  }

  std::unique_ptr<MarkedPeer> peer_;
  Owner owner_;
  std::unique_ptr<Subscriber<AllBasicStreamData>> subscriber_;
  size_t baseline_ = 0;
};

TEST_F(TypedSubscriber, GoodSampleReplacesTheTargetAndCallsTheCallback) {
  PutAndSettle(Hex(Message(2)));
  // The owner's lock first: the callback took it after the handler wrote the target, which orders
  // that write before this thread's read (the marker's callback may run on another thread).
  ASSERT_EQ(owner_.SeenCount(), baseline_ + 1);
  EXPECT_EQ(owner_.SeenTags().back(), 2);
  EXPECT_TRUE(SameMessage(owner_.target, Message(2)));
}

TEST_F(TypedSubscriber, BadSamplesLeaveTargetAndCallbackUntouched) {
  const std::vector<uint8_t> good = Payload(Message(3));
  std::vector<uint8_t> one_byte_too_many = good;
  one_byte_too_many.push_back(0);
  // Cut inside joint_data.q, after the fields that carry the tag in the safety record.
  std::vector<uint8_t> cut_short(good.begin(), good.begin() + static_cast<long>(good.size() / 2));
  std::vector<uint8_t> one_byte_short(good.begin(), good.end() - 1);

  for (const std::string& bad :
       {ToHex(one_byte_too_many), std::string(), ToHex(cut_short), ToHex(one_byte_short)}) {
    PutAndSettle(bad);
    EXPECT_EQ(owner_.SeenCount(), baseline_) << "after " << bad;
  }
  // The test thread reads the target only once the subscription has ended: before that, nothing
  // but the peer's process orders its reads before the handler's next write.
  subscriber_.reset();
  EXPECT_TRUE(SameMessage(owner_.target, Message(1)));
}

TEST_F(TypedSubscriber, InterleavedGoodAndBadSamplesDeliverOnlyTheGoodOnes) {
  for (uint16_t tag = 10; tag < 20; ++tag) {
    std::vector<uint8_t> bad = Payload(Message(static_cast<uint16_t>(tag + 100)));
    bad.push_back(0x2a);
    Put(kStreamKey, Hex(Message(tag)));
    Put(kStreamKey, ToHex(bad));
  }
  PutAndSettle(Hex(Message(20)));
  std::vector<uint16_t> tags = owner_.SeenTags();
  tags.erase(tags.begin(), tags.begin() + static_cast<long>(baseline_));
  EXPECT_EQ(tags, (std::vector<uint16_t>{10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}));
  EXPECT_TRUE(SameMessage(owner_.target, Message(20)));
}

TEST_F(TypedSubscriber, MessagesOfEverySizeArriveWhole) {
  // Zenoh splits a sample larger than its batch into fragments and may hand it over in pieces;
  // the decoder then reads through the bridge. Sizes go up and down, so a decode that reused the
  // storage of a larger message would show its leftovers.
  std::vector<AllBasicStreamData> sent;
  for (size_t joints : {40000u, 7u, 100000u, 0u, 16u}) {
    AllBasicStreamData message = Message(static_cast<uint16_t>(30 + sent.size()));
    message.joint_data.q.resize(joints);
    for (size_t i = 0; i < joints; ++i) message.joint_data.q[i] = 0.25f * static_cast<float>(i);
    PutAndSettle(Hex(message));
    sent.push_back(message);
  }
  ASSERT_EQ(owner_.SeenCount(), baseline_ + sent.size());
  for (size_t i = 0; i < sent.size(); ++i) {
    std::lock_guard<std::mutex> lock(owner_.mutex);
    EXPECT_TRUE(SameMessage(owner_.seen[baseline_ + i], sent[i])) << "message " << i;
  }
}

TEST_F(TypedSubscriber, ThrowingCallbackIsSwallowedAfterTheTargetWasReplaced) {
  {
    std::lock_guard<std::mutex> lock(owner_.mutex);
    owner_.throw_on_tag = 5;
  }
  PutAndSettle(Hex(Message(5)));
  // The callback's copy, taken before it threw: the target held the new message then.
  EXPECT_TRUE(SameMessage(owner_.LastSeen(), Message(5)));
  PutAndSettle(Hex(Message(6)));
  std::vector<uint16_t> tags = owner_.SeenTags();  // the owner's lock first, as above
  ASSERT_GE(tags.size(), 2u);
  EXPECT_EQ(tags[tags.size() - 2], 5);
  EXPECT_EQ(tags.back(), 6);
  EXPECT_TRUE(SameMessage(owner_.target, Message(6)));
}

TEST(TypedSubscriberKeys, RefusedKeyTextThrowsAndSubscribesNothing) {
  std::shared_ptr<zenoh::Session> session = AcquireSession();
  AllBasicStreamData target;
  // Serial numbers whose unit part Zenoh does not accept in a key: "#", and a trailing "/" that
  // leaves an empty chunk.
  for (const std::string key :
       {"korvan/robot/KV7-00#1/basic_stream_data", "korvan/robot/KV7-0042//basic_stream_data"}) {
    bool called = false;
    try {
      Subscriber<AllBasicStreamData> subscriber(
          session, [&called] { called = true; }, target, key);
      ADD_FAILURE() << "accepted " << key;
    } catch (const zenoh::ZException& error) {
      const std::string text = error.what();
      EXPECT_EQ(text.rfind("Failed to construct KeyExpr from: " + key + "(Error code: -", 0), 0u)
          << text;
      EXPECT_LT(error.code(), 0);
    }
    EXPECT_FALSE(called);
  }
}

// Shared with the handler's callback copy, so it outlives the Subscriber and tells whether the
// callback ran after the Subscriber's destructor returned.
struct Probe {
  std::mutex mutex;  // guards calls
  std::condition_variable changed;
  int calls = 0;
  std::atomic<bool> destroyed{false};
  std::atomic<int> late_calls{0};
};

TEST(TypedSubscriberTeardown, DestroyedWhileSamplesArriveNeverHandlesAnotherSample) {
  const std::string key = "korvan/robot/KV-7-0042/basic_stream_data";
  PeerProcess peer({"--publish", key, Hex(Message(9)), "1"});
  std::shared_ptr<zenoh::Session> session = AcquireSession();

  std::vector<std::shared_ptr<Probe>> probes;
  for (int iteration = 0; iteration < 40; ++iteration) {
    auto probe = std::make_shared<Probe>();
    probes.push_back(probe);
    auto target = std::make_unique<AllBasicStreamData>();
    AllBasicStreamData* target_seen = target.get();
    auto subscriber = std::make_unique<Subscriber<AllBasicStreamData>>(
        session,
        [probe, target_seen] {
          if (probe->destroyed) ++probe->late_calls;
          // Touch the target, so that a late call reads freed memory (sanitizer builds report it).
          volatile uint16_t tag = target_seen->safety_io.aux_code;
          (void)tag;
          std::lock_guard<std::mutex> lock(probe->mutex);
          ++probe->calls;
          probe->changed.notify_all();
        },
        *target, key);
    {
      std::unique_lock<std::mutex> lock(probe->mutex);
      ASSERT_TRUE(probe->changed.wait_for(lock, kPatience, [&] { return probe->calls > 0; }))
          << "iteration " << iteration;
    }
    subscriber.reset();
    probe->destroyed = true;
    target.reset();
  }

  // Let samples in flight drain: once a fresh subscription has seen many more samples, anything
  // still queued for an earlier one would have been delivered.
  auto last_probe = std::make_shared<Probe>();
  AllBasicStreamData target;
  {
    Subscriber<AllBasicStreamData> last(
        session,
        [last_probe] {
          std::lock_guard<std::mutex> lock(last_probe->mutex);
          ++last_probe->calls;
          last_probe->changed.notify_all();
        },
        target, key);
    std::unique_lock<std::mutex> lock(last_probe->mutex);
    EXPECT_TRUE(
        last_probe->changed.wait_for(lock, kPatience, [&] { return last_probe->calls >= 20; }));
  }
  EXPECT_TRUE(SameMessage(target, Message(9)));
  for (size_t i = 0; i < probes.size(); ++i) {
    EXPECT_EQ(probes[i]->late_calls, 0) << "iteration " << i;
  }
}

}  // namespace
