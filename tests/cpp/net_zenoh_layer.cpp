// The Zenoh layer on a network: sessions, subscriptions and queries against a scripted
// eclipse-zenoh peer (support/zenoh_peer.py). Runs inside a private network namespace.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "middleware/zenoh.h"
#include "support/peer_process.h"
#include "support/test_util.h"

namespace {

using Clock = std::chrono::steady_clock;
using korvan::test::PeerProcess;
using korvan::test::ToHex;
using korvan::test::WaitUntil;
using std::chrono::milliseconds;

constexpr auto kPatience = std::chrono::seconds(10);

// What the callbacks of one subscription or query saw, in order, for the test thread to wait on.
struct Events {
  std::mutex mutex;  // guards log and done_count
  std::condition_variable changed;
  std::vector<std::string> log;
  int done_count = 0;

  void Add(std::string entry) {
    std::lock_guard<std::mutex> lock(mutex);
    log.push_back(std::move(entry));
    changed.notify_all();
  }
  void Done() {
    std::lock_guard<std::mutex> lock(mutex);
    ++done_count;
    log.push_back("done");
    changed.notify_all();
  }
  bool WaitFor(const std::function<bool()>& condition,
               std::chrono::nanoseconds within = kPatience) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, within, condition);
  }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(mutex);
    return log;
  }
  int DoneCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return done_count;
  }
};

// Issues the query and records "ok HEX" / "err HEX" per reply and "done" at completion.
void Query(const zenoh::Session& session, const std::string& key,
           const std::shared_ptr<Events>& events,
           zenoh::GetOptions&& options = zenoh::GetOptions::create_default()) {
  session.get(
      zenoh::KeyExpr(key), "",
      [events](bool is_ok, zenoh::BytesView payload) {
        events->Add((is_ok ? "ok " : "err ") + ToHex(payload.as_vector()));
      },
      [events] { events->Done(); }, std::move(options));
}

// Queries `key` until an ok reply comes back: the peer is then connected.
void WaitUntilAnswered(const zenoh::Session& session, const std::string& key) {
  const bool answered = WaitUntil(
      [&] {
        auto events = std::make_shared<Events>();
        zenoh::GetOptions options;
        options.timeout_ms = 1000;
        Query(session, key, events, std::move(options));
        events->WaitFor([&] { return events->done_count > 0; });
        for (const std::string& entry : events->Log()) {
          if (entry.rfind("ok ", 0) == 0) return true;
        }
        return false;
      },
      kPatience, milliseconds(50));
  if (!answered) FAIL() << "the peer never answered on " << key;
}

TEST(Session, OpensAndClosesRepeatedly) {
  for (int round = 0; round < 5; ++round) {
    zenoh::Session session = zenoh::Session::open();
    auto events = std::make_shared<Events>();
    zenoh::Subscriber subscriber = session.declare_subscriber(
        zenoh::KeyExpr("test/repeat"), [events](zenoh::BytesView) { events->Add("sample"); },
        [events] { events->Done(); });
    session.close();
    session.close();  // closing twice is harmless
  }
}

TEST(Session, TwoSessionsLiveSideBySide) {
  zenoh::Session first = zenoh::Session::open();
  zenoh::Session second = zenoh::Session::open();
  auto first_events = std::make_shared<Events>();
  auto second_events = std::make_shared<Events>();
  Query(first, "test/nobody/first", first_events);
  Query(second, "test/nobody/second", second_events);
  EXPECT_TRUE(first_events->WaitFor([&] { return first_events->done_count == 1; }));
  EXPECT_TRUE(second_events->WaitFor([&] { return second_events->done_count == 1; }));
}

TEST(Get, WithoutQueryableCompletesLongBeforeTheTimeout) {
  zenoh::Session session = zenoh::Session::open();
  auto events = std::make_shared<Events>();
  zenoh::GetOptions options;
  options.timeout_ms = 5000;
  auto issued = Clock::now();
  Query(session, "test/nobody/answers", events, std::move(options));
  ASSERT_TRUE(events->WaitFor([&] { return events->done_count > 0; }));
  EXPECT_LT(Clock::now() - issued, milliseconds(1000));
  EXPECT_EQ(events->Log(), std::vector<std::string>{"done"});
}

TEST(Get, OnClosedSessionFailsAfterRunningTheCompletionOnce) {
  zenoh::Session session = zenoh::Session::open();
  session.close();
  auto events = std::make_shared<Events>();
  try {
    Query(session, "test/closed", events);
    FAIL() << "the query was issued";
  } catch (const zenoh::ZException& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Failed to perform get operation(Error code: ", 0), 0u)
        << e.what();
    EXPECT_EQ(events->DoneCount(), 1);
  }
  EXPECT_EQ(events->DoneCount(), 1);
}

TEST(Subscriber, DeclareOnClosedSessionFailsAfterRunningTheDropOnce) {
  zenoh::Session session = zenoh::Session::open();
  session.close();
  auto events = std::make_shared<Events>();
  EXPECT_THROW(
      session.declare_subscriber(
          zenoh::KeyExpr("test/closed"), [](zenoh::BytesView) {}, [events] { events->Done(); }),
      zenoh::ZException);
  EXPECT_EQ(events->DoneCount(), 1);
}

TEST(Subscriber, UndeclaresWhileNothingArrives) {
  zenoh::Session session = zenoh::Session::open();
  auto events = std::make_shared<Events>();
  zenoh::Subscriber subscriber = session.declare_subscriber(
      zenoh::KeyExpr("test/quiet"), [events](zenoh::BytesView) { events->Add("sample"); },
      [events] { events->Done(); });
  subscriber.undeclare();
  EXPECT_EQ(events->Log(), std::vector<std::string>{"done"});
  subscriber.undeclare();  // already undeclared: nothing happens
  EXPECT_EQ(events->DoneCount(), 1);
}

TEST(Subscriber, DropRunsOnceWhenTheSessionClosesFirst) {
  auto events = std::make_shared<Events>();
  {
    zenoh::Session session = zenoh::Session::open();
    zenoh::Subscriber subscriber = session.declare_subscriber(
        zenoh::KeyExpr("test/orphan"), [](zenoh::BytesView) {}, [events] { events->Done(); });
    session.close();
    EXPECT_EQ(events->DoneCount(), 1);
  }
  EXPECT_EQ(events->DoneCount(), 1);
}

TEST(Subscriber, DecodesPeerSamplesFromTheBorrowedPayload) {
  // u16 7, then the string "hi".
  PeerProcess peer({"--publish", "test/samples", "0700026869", "20"});
  zenoh::Session session = zenoh::Session::open();
  auto events = std::make_shared<Events>();
  zenoh::Subscriber subscriber =
      session.declare_subscriber(zenoh::KeyExpr("test/samples"), [events](zenoh::BytesView p) {
        zenoh::Deserializer deserializer(p);
        uint16_t id = deserializer.deserialize_uint16();
        std::string text = deserializer.deserialize_string();
        events->Add(std::to_string(id) + " " + text + (deserializer.is_done() ? " end" : ""));
      });
  ASSERT_TRUE(events->WaitFor([&] { return events->log.size() >= 3; }));
  subscriber.undeclare();
  for (const std::string& entry : events->Log()) {
    EXPECT_EQ(entry, "7 hi end");
  }
}

TEST(KeyedSubscriber, OnAWildcardTellsEachSampleByTheKeyItCameOn) {
  // Two publishers under one wildcard, each with its own payload; a third key outside it.
  PeerProcess peer({"--publish", "test/keyed/first/data", "01", "20", "--publish",
                    "test/keyed/second/data", "02", "20", "--publish", "test/other/data", "03",
                    "20"});
  zenoh::Session session = zenoh::Session::open();
  auto events = std::make_shared<Events>();
  std::set<std::string> seen;
  zenoh::Subscriber subscriber = session.declare_keyed_subscriber(
      zenoh::KeyExpr("test/keyed/*/data"),
      [events](zenoh::KeyExprView key, zenoh::BytesView payload) {
        events->Add(std::string(key.as_string_view()) + " " + ToHex(payload.as_vector()));
      },
      [events] { events->Done(); });
  ASSERT_TRUE(events->WaitFor([&] {
    seen.insert(events->log.begin(), events->log.end());
    return seen.size() >= 2 && events->log.size() >= 6;
  }));
  subscriber.undeclare();
  EXPECT_EQ(events->DoneCount(), 1);
  seen.clear();
  for (const std::string& entry : events->Log()) seen.insert(entry);
  EXPECT_EQ(seen, (std::set<std::string>{"test/keyed/first/data 01", "test/keyed/second/data 02",
                                         "done"}));
}

TEST(Subscriber, UndeclareWaitsForTheRunningCallback) {
  PeerProcess peer({"--publish", "test/busy", "01", "5"});
  zenoh::Session session = zenoh::Session::open();
  for (int round = 0; round < 5; ++round) {
    struct State {
      std::atomic<int> running{0};
      std::atomic<int> calls{0};
      std::atomic<int> drops{0};
      std::atomic<int> calls_after_drop{0};
    };
    auto state = std::make_shared<State>();
    zenoh::Subscriber subscriber = session.declare_subscriber(
        zenoh::KeyExpr("test/busy"),
        [state](zenoh::BytesView) {
          state->running.fetch_add(1);
          if (state->drops.load() != 0) state->calls_after_drop.fetch_add(1);
          state->calls.fetch_add(1);
          std::this_thread::sleep_for(milliseconds(30));
          state->running.fetch_sub(1);
        },
        [state] { state->drops.fetch_add(1); });
    WaitUntil([&] { return state->running.load() != 0; }, kPatience);
    ASSERT_GT(state->running.load(), 0) << "no sample arrived";
    subscriber.undeclare();
    EXPECT_EQ(state->running.load(), 0);
    EXPECT_EQ(state->drops.load(), 1);
    int calls = state->calls.load();
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(state->calls.load(), calls);
    EXPECT_EQ(state->calls_after_drop.load(), 0);
  }
}

TEST(Get, DeliversRepliesThenCompletesOnceAndSendsSerializedPayload) {
  PeerProcess peer(
      {"--queryable", "test/ping", "ok:00", "--queryable", "test/q", "err:ee", "ok:0a0b"});
  zenoh::Session session = zenoh::Session::open();
  WaitUntilAnswered(session, "test/ping");

  auto events = std::make_shared<Events>();
  zenoh::GetOptions options;
  options.payload.emplace(std::vector<uint8_t>{0x07, 0x00});
  options.encoding = zenoh::Encoding::kZenohSerialized;
  options.timeout_ms = 5000;
  Query(session, "test/q", events, std::move(options));
  ASSERT_TRUE(events->WaitFor([&] { return events->done_count > 0; }));
  EXPECT_EQ(events->Log(), (std::vector<std::string>{"err ee", "ok 0a0b", "done"}));

  bool seen = false;
  while (auto line = peer.ReadLine(milliseconds(2000))) {
    if (*line == "query 0700 zenoh/serialized") {
      seen = true;
      break;
    }
  }
  EXPECT_TRUE(seen) << "the peer did not see the payload with the serialized encoding";
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(events->DoneCount(), 1);
}

TEST(Get, TimeOutEndsTheQueryWithZenohsErrorReply) {
  PeerProcess peer(
      {"--queryable", "test/ping", "ok:00", "--queryable", "test/slow", "sleep:3000", "ok:01"});
  zenoh::Session session = zenoh::Session::open();
  WaitUntilAnswered(session, "test/ping");

  auto events = std::make_shared<Events>();
  zenoh::GetOptions options;
  options.timeout_ms = 300;
  auto issued = Clock::now();
  Query(session, "test/slow", events, std::move(options));
  ASSERT_TRUE(events->WaitFor([&] { return events->done_count > 0; }));
  auto elapsed = Clock::now() - issued;
  EXPECT_GE(elapsed, milliseconds(250));
  EXPECT_LT(elapsed, milliseconds(2500));
  // Zenoh reports the time-out as an error reply whose payload is the text "Timeout", then ends
  // the query. The peer that holds the query times it out too and may send its own "Timeout"
  // before the local one has removed the query, so one or two such replies precede the end.
  const std::string timeout_reply = "err " + ToHex({'T', 'i', 'm', 'e', 'o', 'u', 't'});
  const std::vector<std::string> log = events->Log();
  ASSERT_GE(log.size(), 2u);
  ASSERT_LE(log.size(), 3u);
  EXPECT_EQ(log.back(), "done");
  for (size_t i = 0; i + 1 < log.size(); ++i) EXPECT_EQ(log[i], timeout_reply) << i;
}

TEST(Get, ClosingTheSessionCompletesQueriesInFlight) {
  PeerProcess peer(
      {"--queryable", "test/ping", "ok:00", "--queryable", "test/slow", "sleep:3000", "ok:01"});
  auto events = std::make_shared<Events>();
  {
    zenoh::Session session = zenoh::Session::open();
    WaitUntilAnswered(session, "test/ping");
    zenoh::GetOptions options;
    options.timeout_ms = 10000;
    Query(session, "test/slow", events, std::move(options));
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(events->DoneCount(), 0);
  }
  EXPECT_EQ(events->DoneCount(), 1);
}

}  // namespace
