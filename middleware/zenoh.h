// Zenoh layer: move-only RAII handles over the Rust bridge; each object owns one bridge handle and
// releases it in its destructor (a moved-from object may only be destroyed or assigned to).
// A Session may be shared by threads; other objects are used by one thread at a time. Callbacks
// run on Zenoh's threads, possibly several at once; whatever they throw is swallowed. No lock here.
// Blocking: Session::open and close (also in ~Session), and Subscriber::undeclare (also in
// ~Subscriber), which waits for running callbacks: never call it from that subscriber's callback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#if defined(__SANITIZE_THREAD__)
#define KORVANTYR_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KORVANTYR_TSAN 1
#endif
#endif
#ifdef KORVANTYR_TSAN
#include <sanitizer/tsan_interface.h>
#endif

// Bridge handle types, opaque here: only the implementation sees the bridge's header.
struct zb_session_t;
struct zb_keyexpr_t;
struct zb_subscriber_t;
struct zb_bytes_t;
struct zb_serializer_t;
struct zb_deserializer_t;

namespace zenoh {

// Zenoh result code: 0 on success, negative on failure (zenoh-c's values).
using ZResult = int8_t;

inline constexpr ZResult kOk = 0;
inline constexpr ZResult kErrInvalid = -1;
inline constexpr ZResult kErrParse = -2;
inline constexpr ZResult kErrIo = -3;
inline constexpr ZResult kErrNetwork = -4;
inline constexpr ZResult kErrNull = -5;
inline constexpr ZResult kErrUnavailable = -6;
inline constexpr ZResult kErrDeserialize = -7;
inline constexpr ZResult kErrSessionClosed = -8;
inline constexpr ZResult kErrUtf8 = -9;
inline constexpr ZResult kErrGeneric = INT8_MIN;

// Failure of the Zenoh layer. what() is the message followed by "(Error code: <code> )".
class ZException : public std::runtime_error {
 public:
  ZException(const std::string& message, ZResult code);

  ZResult code() const noexcept { return code_; }

 private:
  ZResult code_;
};

// Throws ZException(message, code) unless code is kOk.
void CheckResult(ZResult code, std::string_view message);

enum class Locality : int { kAny = 0, kSessionLocal = 1, kRemote = 2 };
enum class QueryTarget : int { kBestMatching = 0, kAll = 1, kAllComplete = 2 };
enum class ConsolidationMode : int { kAuto = -1, kNone = 0, kMonotonic = 1, kLatest = 2 };
enum class Priority : int {
  kRealTime = 1,
  kInteractiveHigh = 2,
  kInteractiveLow = 3,
  kDataHigh = 4,
  kData = 5,
  kDataLow = 6,
  kBackground = 7,
};
enum class CongestionControl : int { kBlock = 0, kDrop = 1 };
enum class ReplyKeyExpr : int { kAny = 0, kMatchingQuery = 1 };
// Predefined payload encodings.
enum class Encoding : int { kZenohBytes = 0, kZenohString = 1, kZenohSerialized = 2 };

// Bytes stored in one piece, borrowed from a payload.
struct ByteSpan {
  const uint8_t* data = nullptr;
  size_t size = 0;
};

// A payload borrowed from Zenoh for the duration of a callback, or from a Bytes.
class BytesView {
 public:
  explicit BytesView(const zb_bytes_t* raw) noexcept : raw_(raw) {}

  size_t size() const;
  std::vector<uint8_t> as_vector() const;
  // The payload's bytes without a copy, valid as long as the payload; empty when Zenoh holds them
  // in several pieces (a payload that arrived in fragments).
  std::optional<ByteSpan> contiguous() const noexcept;
  const zb_bytes_t* raw() const noexcept { return raw_; }

 private:
  const zb_bytes_t* raw_;
};

// A key expression borrowed from Zenoh for the duration of a callback: the key a sample was
// published on.
class KeyExprView {
 public:
  explicit KeyExprView(const zb_keyexpr_t* raw) noexcept : raw_(raw) {}

  // The canonical text, valid as long as the view.
  std::string_view as_string_view() const;

 private:
  const zb_keyexpr_t* raw_;
};

// An owned payload.
class Bytes {
 public:
  Bytes();  // empty
  Bytes(const uint8_t* data, size_t size);
  explicit Bytes(const std::vector<uint8_t>& data);
  explicit Bytes(std::string_view data);
  ~Bytes();
  Bytes(Bytes&& other) noexcept;
  Bytes& operator=(Bytes&& other) noexcept;
  Bytes(const Bytes&) = delete;
  Bytes& operator=(const Bytes&) = delete;

  size_t size() const { return view().size(); }
  std::vector<uint8_t> as_vector() const { return view().as_vector(); }
  BytesView view() const noexcept { return BytesView(handle_); }

 private:
  friend class Serializer;
  friend class Session;
  explicit Bytes(zb_bytes_t* owned) noexcept : handle_(owned) {}
  zb_bytes_t* Release() noexcept { return std::exchange(handle_, nullptr); }

  zb_bytes_t* handle_ = nullptr;
};

// Writes values in Zenoh's serialization format, then finish() gives the payload.
class Serializer {
 public:
  Serializer();
  ~Serializer();
  Serializer(Serializer&& other) noexcept;
  Serializer& operator=(Serializer&& other) noexcept;
  Serializer(const Serializer&) = delete;
  Serializer& operator=(const Serializer&) = delete;

  void serialize(bool value);
  void serialize(int16_t value);
  void serialize(uint16_t value);
  void serialize(int32_t value);
  void serialize(uint32_t value);
  void serialize(float value);
  // A string of any bytes (zero bytes included): its length, then the bytes.
  void serialize(std::string_view bytes);
  // Without this, a string literal would pick the bool overload.
  void serialize(const char* text) { serialize(std::string_view(text)); }
  void serialize_sequence_length(size_t length);
  // Hands over what was written; the serializer is empty afterwards and may not be used again.
  Bytes finish();

 private:
  zb_serializer_t* handle_ = nullptr;
};

// The messages of a failed read, shared by every reader of the serializer's format so that their
// failures read the same.
inline constexpr char kDeserializationFailure[] = "Deserialization failure";
inline constexpr char kSequenceLengthFailure[] =
    "Deserialization failure:: Failed to read sequence length";

// Reads values in Zenoh's serialization format from a payload that must outlive it. Every read
// throws ZException with kErrDeserialize when the payload does not hold the value.
class Deserializer {
 public:
  explicit Deserializer(const Bytes& bytes) : Deserializer(bytes.view()) {}
  explicit Deserializer(Bytes&& bytes) = delete;  // would outlive its payload
  explicit Deserializer(BytesView payload);
  ~Deserializer();
  Deserializer(Deserializer&& other) noexcept;
  Deserializer& operator=(Deserializer&& other) noexcept;
  Deserializer(const Deserializer&) = delete;
  Deserializer& operator=(const Deserializer&) = delete;

  bool deserialize_bool();
  int16_t deserialize_int16();
  uint16_t deserialize_uint16();
  int32_t deserialize_int32();
  uint32_t deserialize_uint32();
  float deserialize_float();
  // Any bytes, not checked for UTF-8.
  std::string deserialize_string();
  size_t deserialize_sequence_length();

  // Whether every byte has been read.
  bool is_done() const;
  size_t bytes_left() const;

 private:
  zb_deserializer_t* handle_ = nullptr;
};

// A key expression, canonised from text.
class KeyExpr {
 public:
  // Throws ZException "Failed to construct KeyExpr from: <text>" when Zenoh refuses the text.
  explicit KeyExpr(std::string_view text);
  ~KeyExpr();
  KeyExpr(KeyExpr&& other) noexcept;
  KeyExpr& operator=(KeyExpr&& other) noexcept;
  KeyExpr(const KeyExpr&) = delete;
  KeyExpr& operator=(const KeyExpr&) = delete;

  std::string_view as_string_view() const;

 private:
  friend class Session;
  zb_keyexpr_t* handle_ = nullptr;
};

// A declared subscription; destroying it undeclares it and waits until no callback of it runs.
// At process exit (a static destructor), where Zenoh cannot undeclare, the subscription is left to
// Zenoh instead and its callback may still run: undeclare() tells by throwing.
class Subscriber {
 public:
  ~Subscriber();
  Subscriber(Subscriber&& other) noexcept;
  Subscriber& operator=(Subscriber&& other) noexcept;
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

  // Undeclares now. Afterwards the sample callback never runs again and its drop has run. Throws
  // ZException "Failed to undeclare Subscriber" when Zenoh failed to; with kErrUnavailable (at
  // process exit) the callback may then still run.
  void undeclare();

 private:
  friend class Session;
  Subscriber(zb_subscriber_t* handle, void* dropped_key) noexcept
      : handle_(handle), dropped_key_(dropped_key) {}
  void Undeclared() const noexcept;

  zb_subscriber_t* handle_ = nullptr;
  void* dropped_key_ = nullptr;  // what the closure's drop releases (see detail::SampleClosure)
};

struct SubscriberOptions {
  Locality allowed_origin = Locality::kAny;

  static SubscriberOptions create_default() { return {}; }
};

// Options of a query, named as Zenoh's get options; the defaults are Zenoh's.
struct GetOptions {
  QueryTarget target = QueryTarget::kBestMatching;
  ConsolidationMode consolidation = ConsolidationMode::kAuto;
  std::optional<Bytes> payload;
  Encoding encoding = Encoding::kZenohBytes;
  CongestionControl congestion_control = CongestionControl::kBlock;
  Priority priority = Priority::kData;
  bool is_express = false;
  Locality allowed_destination = Locality::kAny;
  ReplyKeyExpr accept_replies = ReplyKeyExpr::kMatchingQuery;
  uint64_t timeout_ms = 0;  // 0: the session's configured default

  static GetOptions create_default() { return {}; }
};

// The do-nothing drop for callers that need no notification.
struct NoDrop {
  void operator()() const noexcept {}
};

namespace detail {

using SampleFn = void (*)(void* context, const zb_bytes_t* payload);
using KeyedSampleFn = void (*)(void* context, const zb_keyexpr_t* key_expr,
                               const zb_bytes_t* payload);
using ReplyFn = void (*)(void* context, bool is_ok, const zb_bytes_t* payload);
using DropFn = void (*)(void* context);

// The bridge is not instrumented, so ThreadSanitizer cannot see the synchronisation by which Rust
// hands a closure from the thread that made it to Zenoh's threads and from those to its drop. These
// tell it, at each hand-off, the order that Rust guarantees; outside TSan builds they are nothing.
// A closure's context pointer keys the hand-over to its calls, the byte after it the calls' hand-
// over to the drop: so calls running one after another on two threads stay unordered, as Zenoh
// leaves them.
inline void HandOver([[maybe_unused]] void* key) noexcept {
#ifdef KORVANTYR_TSAN
  __tsan_release(key);
#endif
}
inline void TakeOver([[maybe_unused]] void* key) noexcept {
#ifdef KORVANTYR_TSAN
  __tsan_acquire(key);
#endif
}
inline void* CallsDoneKey(void* context) noexcept { return static_cast<char*>(context) + 1; }

// The drop of a subscription's closure. Zenoh drops the closure when the last reference to it
// goes, after every call has returned; without any call, after the declaration handed it over.
template <class Closure>
void DropSubscriberClosure(void* context) noexcept {
  TakeOver(context);
  TakeOver(CallsDoneKey(context));
  {
    std::unique_ptr<Closure> self(static_cast<Closure*>(context));
    try {
      self->on_drop();
    } catch (...) {
    }
  }
  HandOver(&Closure::dropped_key);
}

// Heap-held once per subscription or query; Zenoh calls through the static trampolines.
template <class OnSample, class OnDrop>
struct SampleClosure {
  OnSample on_sample;
  OnDrop on_drop;

  // Released by every drop of this closure type once the closure is gone: undeclaring returns only
  // after the drop has run, possibly on a Zenoh thread. The context itself cannot serve, since it
  // is freed (and with it what TSan knows about its address); one key per closure type orders an
  // undeclaration after the earlier drops of that type too, which hides nothing of the calls.
  static inline char dropped_key = 0;

  static void Call(void* context, const zb_bytes_t* payload) noexcept {
    // Zenoh calls only a closure that the declaration has handed over.
    TakeOver(context);
    try {
      static_cast<SampleClosure*>(context)->on_sample(BytesView(payload));
    } catch (...) {
    }
    HandOver(CallsDoneKey(context));
  }
  static void Drop(void* context) noexcept { DropSubscriberClosure<SampleClosure>(context); }
};

// As SampleClosure, for a subscription whose calls also get the sample's key.
template <class OnSample, class OnDrop>
struct KeyedSampleClosure {
  OnSample on_sample;
  OnDrop on_drop;

  static inline char dropped_key = 0;  // as SampleClosure's

  static void Call(void* context, const zb_keyexpr_t* key_expr,
                   const zb_bytes_t* payload) noexcept {
    TakeOver(context);
    try {
      static_cast<KeyedSampleClosure*>(context)->on_sample(KeyExprView(key_expr),
                                                           BytesView(payload));
    } catch (...) {
    }
    HandOver(CallsDoneKey(context));
  }
  static void Drop(void* context) noexcept { DropSubscriberClosure<KeyedSampleClosure>(context); }
};

template <class OnReply, class OnDone>
struct ReplyClosure {
  OnReply on_reply;
  OnDone on_done;

  static void Call(void* context, bool is_ok, const zb_bytes_t* payload) noexcept {
    // Zenoh calls only a closure that the query has handed over.
    TakeOver(context);
    try {
      static_cast<ReplyClosure*>(context)->on_reply(is_ok, BytesView(payload));
    } catch (...) {
    }
    HandOver(CallsDoneKey(context));
  }
  static void Drop(void* context) noexcept {
    // The completion: Zenoh drops the closure after the last reply's call has returned, or after
    // the query handed it over if no reply came.
    TakeOver(context);
    TakeOver(CallsDoneKey(context));
    std::unique_ptr<ReplyClosure> self(static_cast<ReplyClosure*>(context));
    try {
      self->on_done();
    } catch (...) {
    }
  }
};

}  // namespace detail

// A Zenoh session; destroying it closes the session.
class Session {
 public:
  // Opens a session with Zenoh's default configuration. Throws "Failed to open session".
  static Session open();
  ~Session();
  Session(Session&& other) noexcept;
  Session& operator=(Session&& other) noexcept;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Closes now: queries in flight complete, subscriptions stop delivering.
  void close();

  // on_sample(BytesView payload) runs for every sample, the payload valid during the call;
  // on_drop() runs once when Zenoh lets go of the subscription, after the last on_sample, also
  // when the declaration fails. Throws "Failed to declare Subscriber".
  template <class OnSample, class OnDrop = NoDrop>
  Subscriber declare_subscriber(const KeyExpr& key_expr, OnSample on_sample,
                                OnDrop on_drop = OnDrop(),
                                const SubscriberOptions& options = SubscriberOptions()) const {
    using Closure = detail::SampleClosure<OnSample, OnDrop>;
    auto closure = std::make_unique<Closure>(Closure{std::move(on_sample), std::move(on_drop)});
    return DeclareSubscriberRaw(key_expr, &Closure::Call, &Closure::Drop, closure.release(),
                                &Closure::dropped_key, options);
  }

  // As declare_subscriber, but on_sample(KeyExprView key, BytesView payload) also gets the key
  // the sample was published on (for a wildcard key expression), valid during the call.
  template <class OnSample, class OnDrop = NoDrop>
  Subscriber declare_keyed_subscriber(
      const KeyExpr& key_expr, OnSample on_sample, OnDrop on_drop = OnDrop(),
      const SubscriberOptions& options = SubscriberOptions()) const {
    using Closure = detail::KeyedSampleClosure<OnSample, OnDrop>;
    auto closure = std::make_unique<Closure>(Closure{std::move(on_sample), std::move(on_drop)});
    return DeclareKeyedSubscriberRaw(key_expr, &Closure::Call, &Closure::Drop, closure.release(),
                                     &Closure::dropped_key, options);
  }

  // Sends a query. on_reply(bool is_ok, BytesView payload) runs for every reply (is_ok false for
  // error replies, Zenoh's time-out included); on_done() runs exactly once when Zenoh is done with
  // the query, also when issuing it fails, before the exception. Throws "Failed to perform get
  // operation". The options' payload is consumed.
  template <class OnReply, class OnDone>
  void get(const KeyExpr& key_expr, std::string_view parameters, OnReply on_reply, OnDone on_done,
           GetOptions&& options = GetOptions::create_default()) const {
    using Closure = detail::ReplyClosure<OnReply, OnDone>;
    auto closure = std::make_unique<Closure>(Closure{std::move(on_reply), std::move(on_done)});
    GetRaw(key_expr, parameters, &Closure::Call, &Closure::Drop, closure.release(),
           std::move(options));
  }

 private:
  explicit Session(zb_session_t* handle) noexcept : handle_(handle) {}

  // All three take over the closure (context and drop): its drop runs once in every case.
  Subscriber DeclareSubscriberRaw(const KeyExpr& key_expr, detail::SampleFn call,
                                  detail::DropFn drop, void* context, void* dropped_key,
                                  const SubscriberOptions& options) const;
  Subscriber DeclareKeyedSubscriberRaw(const KeyExpr& key_expr, detail::KeyedSampleFn call,
                                       detail::DropFn drop, void* context, void* dropped_key,
                                       const SubscriberOptions& options) const;
  void GetRaw(const KeyExpr& key_expr, std::string_view parameters, detail::ReplyFn call,
              detail::DropFn drop, void* context, GetOptions&& options) const;

  zb_session_t* handle_ = nullptr;
};

}  // namespace zenoh
