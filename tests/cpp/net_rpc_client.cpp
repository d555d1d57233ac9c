// RPC client against a scripted queryable peer. Runs inside a private network namespace.
//
// Zenoh's default consolidation for a query on a plain key holds back the good replies until the
// query ends and then hands over only the last one per key (error replies pass at once). The cases
// below are written against that: a call with a good reply returns when the peer has finished
// answering, and of several good replies on the robot's key the caller sees the last one.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "messages/rpc_messages.h"
#include "middleware/rpc_client.h"
#include "middleware/session.h"
#include "middleware/zenoh.h"
#include "support/peer_process.h"
#include "support/test_util.h"

namespace {

using korvan::test::PeerProcess;
using korvan::test::ToHex;
using korvan::test::WaitUntil;
using korvan::zenoh_mdw::AcquireSession;
using korvan::zenoh_mdw::RpcClient;
using korvan::zenoh_msgs::tyr_msg::RPCReply;
using korvan::zenoh_msgs::tyr_msg::RPCRequest;
using Clock = std::chrono::steady_clock;

constexpr auto kPatience = std::chrono::seconds(10);
const std::string kRpcKey = "korvan/robot/KV-7-0042/rpc";

RPCReply Reply(uint16_t request_id, const std::string& text) {
  RPCReply reply;
  reply.request_id = request_id;
  reply.success = true;
  reply.joint_groups = {0, 3};
  reply.int_container = {0, 7};
  reply.string_container = {text};
  reply.float_container = {7.0f, 7.0f};
  reply.float2d_container = {{1.0f}, {2.0f, 3.0f}};
  return reply;
}

std::string Hex(const RPCReply& reply) {
  return ToHex(korvan::zenoh_msgs::tyr_msg::Encode(reply).as_vector());
}

RPCRequest Request(uint16_t request_id) {
  RPCRequest request;
  request.request_id = request_id;
  request.joint_groups = {3};
  return request;
}

// A reply record the calls must leave alone when they fail.
RPCReply Untouched() { return Reply(999, "untouched"); }

bool Same(const RPCReply& a, const RPCReply& b) { return Hex(a) == Hex(b); }

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

// Runs one call and reports its result, whether any reply arrived, the reply and how long it took.
struct Call {
  bool result = false;
  bool replied = false;
  RPCReply reply = Untouched();
  double seconds = 0.0;
};

template <class Req>
Call Send(RpcClient<Req, RPCReply>& client, const Req& request, double timeout) {
  Call call;
  const Clock::time_point start = Clock::now();
  call.result = client.SendRequestAndGetReply(request, call.reply, timeout, call.replied);
  call.seconds = Seconds(Clock::now() - start);
  return call;
}

// A peer answering on the RPC key with `replies`, and a client of that key.
struct Rig {
  explicit Rig(std::vector<std::string> replies, bool concurrent = false,
               const std::string& queried_key = kRpcKey)
      : peer(Args(std::move(replies), concurrent)),
        client(std::make_shared<RpcClient<RPCRequest, RPCReply>>(AcquireSession(), queried_key)) {
    WaitUntilReachable();
  }

  static std::vector<std::string> Args(std::vector<std::string> replies, bool concurrent) {
    std::vector<std::string> args = {"--queryable", kRpcKey};
    args.insert(args.end(), replies.begin(), replies.end());
    // A second queryable that always answers: used to know that the peer is reachable.
    args.insert(args.end(), {"--queryable", "korvan/test/ping", "ok:" + Hex(Reply(0, "pong"))});
    if (concurrent) args.push_back("--concurrent-replies");
    return args;
  }

  // The peer's queryables take a moment to become known: ping until one answers.
  void WaitUntilReachable() {
    RpcClient<RPCRequest, RPCReply> ping(AcquireSession(), "korvan/test/ping");
    RPCReply pong;
    const bool answered = WaitUntil(
        [&] {
          if (!ping.SendRequestAndGetReply(Request(0), pong, 1.0)) return false;
          EXPECT_EQ(peer.ReadLine(kPatience).value_or("").rfind("query ", 0), 0u);
          return true;
        },
        kPatience, std::chrono::nanoseconds(0));
    ASSERT_TRUE(answered) << "the peer never answered";
  }

  PeerProcess peer;
  std::shared_ptr<RpcClient<RPCRequest, RPCReply>> client;
};

TEST(RpcClient, GoodReplyIsReturnedAndTheRequestIsSentSerialized) {
  Rig rig({"ok:" + Hex(Reply(4, "plan"))});
  Call call = Send(*rig.client, Request(4), 2.0);
  ASSERT_TRUE(call.result);
  EXPECT_TRUE(call.replied);
  EXPECT_TRUE(Same(call.reply, Reply(4, "plan")));
  std::string expected_query =
      "query " + ToHex(korvan::zenoh_msgs::tyr_msg::Encode(Request(4)).as_vector()) + " ";
  std::string seen = rig.peer.ReadLine(kPatience).value_or("(none)");
  EXPECT_EQ(seen.rfind(expected_query, 0), 0u) << seen;
  EXPECT_NE(seen.find("zenoh/serialized"), std::string::npos) << seen;
}

TEST(RpcClient, RefusedKeyTextReturnsFalseAtOnce) {
  auto session = AcquireSession();
  for (const std::string key : {"korvan/robot/KV7-00#1/rpc", "korvan/robot/KV7-0042//rpc"}) {
    RpcClient<RPCRequest, RPCReply> client(session, key);
    Call call = Send(client, Request(1), 5.0);
    EXPECT_FALSE(call.result) << key;
    EXPECT_FALSE(call.replied) << key;
    EXPECT_TRUE(Same(call.reply, Untouched())) << key;
    EXPECT_LT(call.seconds, 2.5) << key;
  }
}

TEST(RpcClient, NoReplyWithinTheTimeOutReturnsFalseAfterAboutTheTimeOut) {
  Rig rig({"sleep:4000", "ok:" + Hex(Reply(1, "late"))}, /*concurrent=*/true);
  Call call = Send(*rig.client, Request(1), 1.0);
  EXPECT_FALSE(call.result);
  EXPECT_TRUE(Same(call.reply, Untouched()));
  EXPECT_GE(call.seconds, 0.9);
  EXPECT_LT(call.seconds, 3.0);
}

TEST(RpcClient, NothingAnsweringReturnsFalseWellBeforeTheTimeOut) {
  Rig rig({"ok:" + Hex(Reply(1, "elsewhere"))}, false, "korvan/robot/KV-7-9999/rpc");
  Call call = Send(*rig.client, Request(1), 5.0);
  EXPECT_FALSE(call.result);
  EXPECT_FALSE(call.replied);
  EXPECT_TRUE(Same(call.reply, Untouched()));
  EXPECT_LT(call.seconds, 2.5);
}

TEST(RpcClient, ErrorReplyIsSkippedForTheGoodOne) {
  Rig rig({"err:dead", "ok:" + Hex(Reply(2, "good"))});
  Call call = Send(*rig.client, Request(2), 2.0);
  ASSERT_TRUE(call.result);
  EXPECT_TRUE(Same(call.reply, Reply(2, "good")));
}

TEST(RpcClient, OnlyErrorRepliesReturnFalseWhenTheQueryEnds) {
  Rig rig({"err:dead", "err:beef"});
  Call call = Send(*rig.client, Request(2), 5.0);
  EXPECT_FALSE(call.result);
  EXPECT_TRUE(call.replied);  // error replies are replies all the same
  EXPECT_TRUE(Same(call.reply, Untouched()));
  EXPECT_LT(call.seconds, 2.5);
}

TEST(RpcClient, UndecodableRepliesAreIgnored) {
  const std::string good = Hex(Reply(3, "good"));
  const std::string cases[] = {
      "0300",                           // only the request id
      good + "00",                      // one byte after the last container
      good.substr(0, good.size() - 2),  // one byte short
      "",                               // empty
  };
  for (const std::string& bad : cases) {
    Rig rig({"ok:" + bad});
    Call call = Send(*rig.client, Request(3), 5.0);
    EXPECT_FALSE(call.result) << bad;
    EXPECT_TRUE(call.replied) << bad;
    EXPECT_TRUE(Same(call.reply, Untouched())) << bad;
    EXPECT_LT(call.seconds, 2.5) << bad;  // the query ended, no waiting out the time-out
  }
}

TEST(RpcClient, SeveralGoodRepliesOnTheRobotKeyYieldOne) {
  // Zenoh merges them: only the last one reaches the client.
  Rig rig({"ok:" + Hex(Reply(5, "first")), "ok:" + Hex(Reply(5, "second"))});
  Call call = Send(*rig.client, Request(5), 2.0);
  ASSERT_TRUE(call.result);
  EXPECT_TRUE(Same(call.reply, Reply(5, "second")));
}

TEST(RpcClient, LateReplyAfterTheTimeOutIsDroppedAndTheClientStaysUsable) {
  Rig rig({"sleep:1200", "ok:" + Hex(Reply(6, "late"))}, /*concurrent=*/true);
  Call late = Send(*rig.client, Request(6), 0.3);
  EXPECT_FALSE(late.result);
  EXPECT_TRUE(Same(late.reply, Untouched()));
  // The next call outlasts the first query's late reply and gets its own.
  Call next = Send(*rig.client, Request(6), 5.0);
  ASSERT_TRUE(next.result);
  EXPECT_TRUE(Same(next.reply, Reply(6, "late")));
}

TEST(RpcClient, TimeOutBelowOneMillisecondDoesNotWait) {
  Rig rig({"sleep:1500", "ok:" + Hex(Reply(7, "slow"))}, /*concurrent=*/true);
  for (double timeout : {0.0009, 0.0, -1.0}) {
    Call call = Send(*rig.client, Request(7), timeout);
    EXPECT_FALSE(call.result) << timeout;
    EXPECT_TRUE(Same(call.reply, Untouched())) << timeout;
    EXPECT_LT(call.seconds, 1.0) << timeout;
  }
}

// A request that fails to encode on demand, to see the failure leave the call.
struct FlakyRequest {
  bool fail = false;
  RPCRequest inner;
};

void Write(zenoh::Serializer& out, const FlakyRequest& request) {
  if (request.fail) throw zenoh::ZException("Failed to serialize uint16_t", zenoh::kErrInvalid);
  korvan::zenoh_msgs::tyr_msg::Write(out, request.inner);
}

TEST(RpcClient, EncodingFailurePropagatesAndTheClientStaysUsable) {
  Rig rig({"ok:" + Hex(Reply(8, "fine"))});
  RpcClient<FlakyRequest, RPCReply> client(AcquireSession(), kRpcKey);
  RPCReply reply = Untouched();
  EXPECT_THROW(client.SendRequestAndGetReply(FlakyRequest{true, Request(8)}, reply, 1.0),
               zenoh::ZException);
  EXPECT_TRUE(Same(reply, Untouched()));
  Call call = Send(client, FlakyRequest{false, Request(8)}, 2.0);
  ASSERT_TRUE(call.result);
  EXPECT_TRUE(Same(call.reply, Reply(8, "fine")));
}

TEST(RpcClient, CallsFromTwoThreadsRunOneAfterAnother) {
  Rig rig({"sleep:700", "ok:" + Hex(Reply(9, "turn"))}, /*concurrent=*/true);
  std::atomic<bool> first_returned{false};
  Call first;
  Call second;
  std::thread first_caller([&] {
    first = Send(*rig.client, Request(9), 5.0);
    first_returned = true;
  });
  ASSERT_TRUE(rig.peer.ReadLine(kPatience).has_value()) << "first query not seen";
  std::thread second_caller([&] { second = Send(*rig.client, Request(9), 5.0); });
  // The peer prints each query as it arrives; the first is answered only after 700 ms, so an
  // unserialised second query would show up long before the first call returns.
  std::optional<std::string> second_query = rig.peer.ReadLine(kPatience);
  const bool first_done_by_then = first_returned;
  first_caller.join();
  second_caller.join();
  ASSERT_TRUE(second_query.has_value()) << "second query not seen";
  EXPECT_TRUE(first_done_by_then);
  EXPECT_TRUE(first.result);
  EXPECT_TRUE(second.result);
  EXPECT_TRUE(Same(second.reply, Reply(9, "turn")));
}

}  // namespace
