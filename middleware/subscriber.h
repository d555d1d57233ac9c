// Typed subscription: decodes every sample on one key into a T and hands it to the owner.
// The owner keeps the target record and whatever the callback uses alive until the Subscriber is
// destroyed. The sample handler runs on Zenoh's threads, one sample at a time (its own mutex
// serialises it), writes the target and then calls the callback; the owner reads the target only
// inside the callback. Destruction undeclares the subscription and waits for a running handler,
// so the target may be freed as soon as the destructor has returned. Never destroy a Subscriber
// from its own callback.
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
      : topic(topic) {
    const zenoh::KeyExpr key_expr(this->topic);
    subscriber.emplace(session->declare_subscriber(
        key_expr,
        SampleHandler{std::move(callback), &target, std::make_unique<T>(),
                      std::make_unique<std::mutex>()},
        zenoh::NoDrop(), zenoh::SubscriberOptions::create_default()));
  }

  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

 private:
  struct SampleHandler {
    std::function<void()> callback;
    T* target;
    // What the next sample is decoded into: the message the target held before the last one, so
    // that at a steady message size no sample allocates. Only the handler touches it.
    std::unique_ptr<T> spare;
    std::unique_ptr<std::mutex> mutex;  // held while one sample is handled; guards spare

    void operator()(zenoh::BytesView payload) noexcept {
      try {
        std::lock_guard<std::mutex> lock(*mutex);
        // Into the spare, so that a payload that fails to decode never reaches the target.
        zenoh_msgs::tyr_msg::DecodeInto(payload, *spare);
        std::swap(*target, *spare);
        callback();
      } catch (...) {
        // A bad sample or a failing callback must not end the subscription.
      }
    }
  };

  std::string topic;
  std::optional<zenoh::Subscriber> subscriber;
};

}  // namespace korvan::zenoh_mdw
