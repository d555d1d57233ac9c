// Request/reply over Zenoh queries: one call encodes a Req, queries the key and waits for the
// first reply that decodes as a Rep, or for the time-out. The calling thread blocks for the whole
// call under the client's mutex, so calls on one client run one after another. Each call shares a
// RequestState with Zenoh's reply and completion handlers (Zenoh threads), which take only its
// mutex; lock order: client mutex, then RequestState mutex. A reply arriving after the call has
// returned lands in the abandoned RequestState and is freed with it. Nothing here logs, and no
// caller may log while it holds either mutex: a reply handler must never wait behind a log write.
#pragma once

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "messages/codec.h"
#include "middleware/zenoh.h"

namespace korvan::zenoh_mdw {

template <class Req, class Rep>
class RpcClient {
 public:
  RpcClient(std::shared_ptr<zenoh::Session> session, const std::string& topic)
      : session(std::move(session)), topic(topic) {}

  RpcClient(const RpcClient&) = delete;
  RpcClient& operator=(const RpcClient&) = delete;

  // Sends `request` and waits up to `timeout` seconds for a reply. True when a reply arrived and
  // decoded; `reply` then holds it. False otherwise, with `reply` untouched: no reply in time,
  // the query ended without a good reply, or the key or the query was refused. Throws only when
  // the request cannot be encoded (zenoh::ZException) or a mutex cannot be locked.
  bool SendRequestAndGetReply(const Req& request, Rep& reply, double timeout) {
    bool replied = false;
    return SendRequestAndGetReply(request, reply, timeout, replied);
  }

  // Same, and `replied` tells whether any reply at all arrived before the call returned: a good
  // one, an error reply or one that did not decode. Without one the query reached no answering
  // peer (a fresh session may not have discovered it yet) or the peer dropped it. Zenoh's own
  // time-out error reply comes only once the time-out has passed.
  bool SendRequestAndGetReply(const Req& request, Rep& reply, double timeout, bool& replied) {
    replied = false;
    std::lock_guard<std::mutex> call_lock(mutex);
    auto state = std::make_shared<RequestState>();
    const int64_t timeout_ms = ToMilliseconds(timeout);

    zenoh::GetOptions options = zenoh::GetOptions::create_default();
    options.target = zenoh::QueryTarget::kBestMatching;
    options.consolidation = zenoh::ConsolidationMode::kAuto;
    options.priority = zenoh::Priority::kData;
    options.congestion_control = zenoh::CongestionControl::kBlock;
    options.is_express = false;
    // 0 lets Zenoh apply its configured default.
    options.timeout_ms = static_cast<uint64_t>(timeout_ms);
    options.payload = zenoh_msgs::tyr_msg::Encode(request);
    options.encoding = zenoh::Encoding::kZenohSerialized;

    try {
      const zenoh::KeyExpr key_expr(topic);
      session->get(
          key_expr, "",
          [state](bool is_ok, zenoh::BytesView payload) { OnReply(*state, is_ok, payload); },
          [state] { OnDone(*state); }, std::move(options));
    } catch (...) {
      return false;
    }

    std::unique_lock<std::mutex> lock(state->mutex);
    if (timeout_ms > 0) {
      state->cv.wait_until(lock,
                           std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms),
                           [&state] { return state->done; });
    }
    if (state->has_reply) {
      reply = std::move(state->reply);
    }
    replied = state->replied;
    return state->has_reply;
  }

 private:
  struct RequestState {
    std::mutex mutex;  // guards reply, done and has_reply
    std::condition_variable cv;
    Rep reply{};
    bool done = false;
    bool has_reply = false;
    bool replied = false;  // some reply arrived, good or not
  };

  // Longest wait we accept: far beyond any real call, and safely inside the steady clock's range.
  static constexpr int64_t kMaxTimeoutMs = int64_t{1} << 40;

  // Seconds to whole milliseconds, truncated toward zero; a negative or NaN time-out means no
  // wait (and Zenoh's default time-out for the query itself).
  static int64_t ToMilliseconds(double timeout) {
    const double ms = std::trunc(timeout * 1000.0);
    if (!(ms > 0.0)) return 0;
    if (ms >= static_cast<double>(kMaxTimeoutMs)) return kMaxTimeoutMs;
    return static_cast<int64_t>(ms);
  }

  static void OnReply(RequestState& state, bool is_ok, zenoh::BytesView payload) noexcept {
    try {
      std::optional<Rep> decoded;
      // Error replies (Zenoh's own time-out among them) and replies that do not decode are
      // skipped, but they still count as replies.
      if (is_ok) {
        try {
          decoded = zenoh_msgs::tyr_msg::Decode<Rep>(payload);
        } catch (...) {
        }
      }
      std::lock_guard<std::mutex> lock(state.mutex);
      state.replied = true;
      if (!decoded || (state.done && state.has_reply)) return;  // the first good reply wins
      state.reply = std::move(*decoded);
      state.has_reply = true;
      state.done = true;
      state.cv.notify_all();
    } catch (...) {
      // A failed lock: the reply is dropped.
    }
  }

  static void OnDone(RequestState& state) noexcept {
    try {
      std::lock_guard<std::mutex> lock(state.mutex);
      state.done = true;
      state.cv.notify_all();
    } catch (...) {
    }
  }

  std::mutex mutex;  // held for the whole of each call
  std::shared_ptr<zenoh::Session> session;
  std::string topic;
};

}  // namespace korvan::zenoh_mdw
