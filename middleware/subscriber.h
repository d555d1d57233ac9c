// Typed subscription: decodes every sample on one key into a T and hands it to the owner.
// The owner keeps the target record and whatever the callback uses alive until the Subscriber is
// destroyed. The sample handler runs on Zenoh's threads, one sample at a time (its own mutex
// serialises it), writes the target and then calls the callback; the owner reads the target only
// inside the callback. Destruction undeclares the subscription and waits for a running handler,
// so the target may be freed as soon as the destructor has returned; where Zenoh cannot undeclare
// (at process exit) the subscription stays with Zenoh, cut off from the target and the callback.
// Never destroy a Subscriber from its own callback.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "messages/codec.h"
#include "middleware/zenoh.h"

namespace korvan::zenoh_mdw {

template <class T>
class Subscriber {
 public:
  // Declares the subscription; samples may be handled before the constructor returns. Throws
  // zenoh::ZException "Failed to construct KeyExpr from: <topic>" or "Failed to declare
  // Subscriber". The session is only used here: the subscription does not keep it open.
  Subscriber(const std::shared_ptr<zenoh::Session>& session, std::function<void()> callback,
             T& target, const std::string& topic)
      : topic(topic), link(std::make_shared<Link>(&target)) {
    const zenoh::KeyExpr key_expr(this->topic);
    subscriber.emplace(session->declare_subscriber(
        key_expr, SampleHandler{std::move(callback), link, std::make_unique<T>()}, zenoh::NoDrop(),
        zenoh::SubscriberOptions::create_default()));
  }

  // A subscription that Zenoh could not undeclare (a Subscriber destroyed by a static destructor
  // at process exit) may still deliver: it is left to Zenoh with its handler, and the handler is
  // cut off from the target and the callback before this returns, after a running one has ended.
  ~Subscriber() {
    try {
      subscriber->undeclare();
      return;
    } catch (...) {
    }
    std::lock_guard<std::mutex> lock(link->mutex);
    link->target = nullptr;
  }

  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

 private:
  // The handler's way to the owner's target, shared with the Subscriber, which cuts it.
  struct Link {
    explicit Link(T* target) : target(target) {}

    std::mutex mutex;  // held while one sample is handled; guards target and the handler's spare
    T* target;         // null once the owner may have freed it
  };

  struct SampleHandler {
    std::function<void()> callback;
    std::shared_ptr<Link> link;
    // What the next sample is decoded into: the message the target held before the last one, so
    // that at a steady message size no sample allocates. Only the handler touches it.
    std::unique_ptr<T> spare;

    void operator()(zenoh::BytesView payload) noexcept {
      try {
        std::lock_guard<std::mutex> lock(link->mutex);
        if (link->target == nullptr) return;
        // Into the spare, so that a payload that fails to decode never reaches the target.
        zenoh_msgs::tyr_msg::DecodeInto(payload, *spare);
        std::swap(*link->target, *spare);
        callback();
      } catch (...) {
        // A bad sample or a failing callback must not end the subscription.
      }
    }
  };

  std::string topic;
  std::shared_ptr<Link> link;
  std::optional<zenoh::Subscriber> subscriber;
};

}  // namespace korvan::zenoh_mdw
