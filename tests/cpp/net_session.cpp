// The process-wide session cache and the robot's key texts. Opens real sessions, so it runs
// inside a private network namespace.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "middleware/robot_keys.h"
#include "middleware/session.h"
#include "middleware/zenoh.h"

namespace {

using korvan::zenoh_mdw::AcquireSession;
using korvan::zenoh_mdw::RobotKey;

TEST(SessionCache, SharesOneSessionWhileAnyHolderKeepsIt) {
  std::shared_ptr<zenoh::Session> first = AcquireSession();
  std::shared_ptr<zenoh::Session> second = AcquireSession();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first.get(), second.get());
  EXPECT_EQ(first.use_count(), 2);  // the cache holds no reference of its own

  // The first holder leaving does not close the session for the second.
  const zenoh::Session* shared = first.get();
  first.reset();
  EXPECT_EQ(AcquireSession().get(), shared);
}

TEST(SessionCache, OpensAFreshSessionOnceAllHoldersAreGone) {
  std::weak_ptr<zenoh::Session> old_session;
  {
    std::shared_ptr<zenoh::Session> held = AcquireSession();
    old_session = held;
  }
  EXPECT_TRUE(old_session.expired());
  std::shared_ptr<zenoh::Session> fresh = AcquireSession();
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(fresh.use_count(), 1);
  // The fresh session works: it can declare a subscription.
  EXPECT_NO_THROW(fresh->declare_subscriber(zenoh::KeyExpr("korvan/robot/KV7-1/basic_stream_data"),
                                            [](zenoh::BytesView) {}));
}

TEST(SessionCache, ThreadsAcquiringAtOnceGetTheSameSession) {
  for (int round = 0; round < 5; ++round) {
    std::shared_ptr<zenoh::Session> a;
    std::shared_ptr<zenoh::Session> b;
    std::thread first([&a] { a = AcquireSession(); });
    std::thread second([&b] { b = AcquireSession(); });
    first.join();
    second.join();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a.get(), b.get()) << "round " << round;
  }
}

TEST(RobotKeys, JoinPrefixSerialAndSuffixUnescaped) {
  using namespace korvan::zenoh_mdw;
  EXPECT_EQ(RobotKey("KV-7-0042", kBasicStreamSuffix), "korvan/robot/KV-7-0042/basic_stream_data");
  EXPECT_EQ(RobotKey("KV-7-0042", kExtraStreamSuffix), "korvan/robot/KV-7-0042/extra_stream_data");
  EXPECT_EQ(RobotKey("KV-7-00/42", kRpcSuffix), "korvan/robot/KV-7-00/42/rpc");
}

}  // namespace
