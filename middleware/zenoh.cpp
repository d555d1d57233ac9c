#include "middleware/zenoh.h"

#include <string>
#include <utility>

#include "kvn_zbridge.h"

namespace zenoh {

// The enumerations are passed to the bridge by value.
static_assert(static_cast<int>(Locality::kAny) == ZB_LOCALITY_ANY);
static_assert(static_cast<int>(Locality::kSessionLocal) == ZB_LOCALITY_SESSION_LOCAL);
static_assert(static_cast<int>(Locality::kRemote) == ZB_LOCALITY_REMOTE);
static_assert(static_cast<int>(QueryTarget::kBestMatching) == ZB_QUERY_TARGET_BEST_MATCHING);
static_assert(static_cast<int>(QueryTarget::kAll) == ZB_QUERY_TARGET_ALL);
static_assert(static_cast<int>(QueryTarget::kAllComplete) == ZB_QUERY_TARGET_ALL_COMPLETE);
static_assert(static_cast<int>(ConsolidationMode::kAuto) == ZB_CONSOLIDATION_MODE_AUTO);
static_assert(static_cast<int>(ConsolidationMode::kNone) == ZB_CONSOLIDATION_MODE_NONE);
static_assert(static_cast<int>(ConsolidationMode::kMonotonic) == ZB_CONSOLIDATION_MODE_MONOTONIC);
static_assert(static_cast<int>(ConsolidationMode::kLatest) == ZB_CONSOLIDATION_MODE_LATEST);
static_assert(static_cast<int>(Priority::kRealTime) == ZB_PRIORITY_REAL_TIME);
static_assert(static_cast<int>(Priority::kData) == ZB_PRIORITY_DATA);
static_assert(static_cast<int>(Priority::kBackground) == ZB_PRIORITY_BACKGROUND);
static_assert(static_cast<int>(CongestionControl::kBlock) == ZB_CONGESTION_CONTROL_BLOCK);
static_assert(static_cast<int>(CongestionControl::kDrop) == ZB_CONGESTION_CONTROL_DROP);
static_assert(static_cast<int>(ReplyKeyExpr::kAny) == ZB_REPLY_KEYEXPR_ANY);
static_assert(static_cast<int>(ReplyKeyExpr::kMatchingQuery) == ZB_REPLY_KEYEXPR_MATCHING_QUERY);
static_assert(static_cast<int>(Encoding::kZenohBytes) == ZB_ENCODING_ZENOH_BYTES);
static_assert(static_cast<int>(Encoding::kZenohString) == ZB_ENCODING_ZENOH_STRING);
static_assert(static_cast<int>(Encoding::kZenohSerialized) == ZB_ENCODING_ZENOH_SERIALIZED);
static_assert(kErrDeserialize == ZB_EDESERIALIZE && kErrGeneric == ZB_EGENERIC);

ZException::ZException(const std::string& message, ZResult code)
    : std::runtime_error(message + "(Error code: " + std::to_string(code) + " )"), code_(code) {}

void CheckResult(ZResult code, std::string_view message) {
  if (code != kOk) {
    throw ZException(std::string(message), code);
  }
}

// ---- Bytes -------------------------------------------------------------------------------------

size_t BytesView::size() const {
  size_t size = 0;
  CheckResult(zb_bytes_len(raw_, &size), "Failed to read payload size");
  return size;
}

std::optional<ByteSpan> BytesView::contiguous() const noexcept {
  ByteSpan span;
  if (zb_bytes_get_contiguous_view(raw_, &span.data, &span.size) != ZB_OK) {
    return std::nullopt;
  }
  return span;
}

std::vector<uint8_t> BytesView::as_vector() const {
  if (const std::optional<ByteSpan> span = contiguous()) {
    return std::vector<uint8_t>(span->data, span->data + span->size);
  }
  std::vector<uint8_t> copy(this->size());
  size_t written = 0;
  CheckResult(zb_bytes_to_buf(raw_, copy.data(), copy.size(), &written), "Failed to copy payload");
  copy.resize(written);
  return copy;
}

Bytes::Bytes() : Bytes(nullptr, 0) {}

Bytes::Bytes(const uint8_t* data, size_t size) {
  CheckResult(zb_bytes_copy_from_buf(data, size, &handle_), "Failed to create payload");
}

Bytes::Bytes(const std::vector<uint8_t>& data) : Bytes(data.data(), data.size()) {}

Bytes::Bytes(std::string_view data)
    : Bytes(reinterpret_cast<const uint8_t*>(data.data()), data.size()) {}

Bytes::~Bytes() { zb_bytes_drop(handle_); }

Bytes::Bytes(Bytes&& other) noexcept : handle_(other.Release()) {}

Bytes& Bytes::operator=(Bytes&& other) noexcept {
  if (this != &other) {
    zb_bytes_drop(std::exchange(handle_, other.Release()));
  }
  return *this;
}

// ---- Serializer --------------------------------------------------------------------------------

Serializer::Serializer() {
  CheckResult(zb_serializer_empty(&handle_), "Failed to create serializer");
}

Serializer::~Serializer() { zb_serializer_drop(handle_); }

Serializer::Serializer(Serializer&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

Serializer& Serializer::operator=(Serializer&& other) noexcept {
  if (this != &other) {
    zb_serializer_drop(std::exchange(handle_, std::exchange(other.handle_, nullptr)));
  }
  return *this;
}

void Serializer::serialize(bool value) {
  CheckResult(zb_serializer_serialize_bool(handle_, value), "Failed to serialize bool");
}

void Serializer::serialize(int16_t value) {
  CheckResult(zb_serializer_serialize_int16(handle_, value), "Failed to serialize int16_t");
}

void Serializer::serialize(uint16_t value) {
  CheckResult(zb_serializer_serialize_uint16(handle_, value), "Failed to serialize uint16_t");
}

void Serializer::serialize(int32_t value) {
  CheckResult(zb_serializer_serialize_int32(handle_, value), "Failed to serialize int32_t");
}

void Serializer::serialize(uint32_t value) {
  CheckResult(zb_serializer_serialize_uint32(handle_, value), "Failed to serialize uint32_t");
}

void Serializer::serialize(float value) {
  CheckResult(zb_serializer_serialize_float(handle_, value), "Failed to serialize float");
}

void Serializer::serialize(std::string_view bytes) {
  CheckResult(zb_serializer_serialize_string(handle_, bytes.data(), bytes.size()),
              "Failed to serialize string");
}

void Serializer::serialize_sequence_length(size_t length) {
  CheckResult(zb_serializer_serialize_sequence_length(handle_, length),
              "Failed to serialize sequence length");
}

Bytes Serializer::finish() {
  zb_bytes_t* bytes = nullptr;
  // The bridge consumes the serializer whatever the outcome.
  CheckResult(zb_serializer_finish(std::exchange(handle_, nullptr), &bytes),
              "Failed to finish serialization");
  return Bytes(bytes);
}

// ---- Deserializer ------------------------------------------------------------------------------

Deserializer::Deserializer(BytesView payload) {
  CheckResult(zb_deserializer_from_bytes(payload.raw(), &handle_), "Failed to create deserializer");
}

Deserializer::~Deserializer() { zb_deserializer_drop(handle_); }

Deserializer::Deserializer(Deserializer&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

Deserializer& Deserializer::operator=(Deserializer&& other) noexcept {
  if (this != &other) {
    zb_deserializer_drop(std::exchange(handle_, std::exchange(other.handle_, nullptr)));
  }
  return *this;
}

namespace {

template <class T>
T Read(zb_deserializer_t* handle, zb_result_t (*read)(zb_deserializer_t*, T*)) {
  T value{};
  CheckResult(read(handle, &value), kDeserializationFailure);
  return value;
}

}  // namespace

bool Deserializer::deserialize_bool() { return Read(handle_, zb_deserializer_deserialize_bool); }

int16_t Deserializer::deserialize_int16() {
  return Read(handle_, zb_deserializer_deserialize_int16);
}

uint16_t Deserializer::deserialize_uint16() {
  return Read(handle_, zb_deserializer_deserialize_uint16);
}

int32_t Deserializer::deserialize_int32() {
  return Read(handle_, zb_deserializer_deserialize_int32);
}

uint32_t Deserializer::deserialize_uint32() {
  return Read(handle_, zb_deserializer_deserialize_uint32);
}

float Deserializer::deserialize_float() { return Read(handle_, zb_deserializer_deserialize_float); }

std::string Deserializer::deserialize_string() {
  const char* data = nullptr;
  size_t size = 0;
  CheckResult(zb_deserializer_deserialize_string(handle_, &data, &size), kDeserializationFailure);
  return std::string(data, size);
}

size_t Deserializer::deserialize_sequence_length() {
  size_t length = 0;
  CheckResult(zb_deserializer_deserialize_sequence_length(handle_, &length),
              kSequenceLengthFailure);
  return length;
}

bool Deserializer::is_done() const {
  bool done = false;
  CheckResult(zb_deserializer_is_done(handle_, &done), "Failed to query deserializer");
  return done;
}

size_t Deserializer::bytes_left() const {
  size_t left = 0;
  CheckResult(zb_deserializer_bytes_left(handle_, &left), "Failed to query deserializer");
  return left;
}

// ---- KeyExpr -----------------------------------------------------------------------------------

KeyExpr::KeyExpr(std::string_view text) {
  CheckResult(zb_keyexpr_from_substr_autocanonize(text.data(), text.size(), &handle_),
              std::string("Failed to construct KeyExpr from: ").append(text));
}

KeyExpr::~KeyExpr() { zb_keyexpr_drop(handle_); }

KeyExpr::KeyExpr(KeyExpr&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

KeyExpr& KeyExpr::operator=(KeyExpr&& other) noexcept {
  if (this != &other) {
    zb_keyexpr_drop(std::exchange(handle_, std::exchange(other.handle_, nullptr)));
  }
  return *this;
}

std::string_view KeyExpr::as_string_view() const {
  const char* data = nullptr;
  size_t size = 0;
  CheckResult(zb_keyexpr_as_view(handle_, &data, &size), "Failed to read KeyExpr");
  return std::string_view(data, size);
}

std::string_view KeyExprView::as_string_view() const {
  const char* data = nullptr;
  size_t size = 0;
  CheckResult(zb_keyexpr_as_view(raw_, &data, &size), "Failed to read KeyExpr");
  return std::string_view(data, size);
}

// ---- Subscriber --------------------------------------------------------------------------------

Subscriber::~Subscriber() {
  if (handle_ != nullptr) {
    zb_undeclare_subscriber(handle_);
    Undeclared();
  }
}

Subscriber::Subscriber(Subscriber&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      dropped_key_(std::exchange(other.dropped_key_, nullptr)) {}

Subscriber& Subscriber::operator=(Subscriber&& other) noexcept {
  if (this != &other) {
    zb_subscriber_t* previous = std::exchange(handle_, std::exchange(other.handle_, nullptr));
    void* previous_key = std::exchange(dropped_key_, std::exchange(other.dropped_key_, nullptr));
    if (previous != nullptr) {
      zb_undeclare_subscriber(previous);
      detail::TakeOver(previous_key);
    }
  }
  return *this;
}

void Subscriber::undeclare() {
  if (handle_ != nullptr) {
    // The handle is released by the bridge whatever the outcome.
    const ZResult result = zb_undeclare_subscriber(std::exchange(handle_, nullptr));
    Undeclared();
    CheckResult(result, "Failed to undeclare Subscriber");
  }
}

// The bridge returns from undeclaring only once no call of the closure runs and its drop has run
// (on whichever thread let go of it last); from here on the owner may free what the calls used.
void Subscriber::Undeclared() const noexcept { detail::TakeOver(dropped_key_); }

// ---- Session -----------------------------------------------------------------------------------

Session Session::open() {
  zb_session_t* handle = nullptr;
  CheckResult(zb_open(&handle), "Failed to open session");
  return Session(handle);
}

Session::~Session() { zb_session_drop(handle_); }

Session::Session(Session&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

Session& Session::operator=(Session&& other) noexcept {
  if (this != &other) {
    zb_session_drop(std::exchange(handle_, std::exchange(other.handle_, nullptr)));
  }
  return *this;
}

void Session::close() { CheckResult(zb_close(handle_), "Failed to close session"); }

namespace {

zb_subscriber_options_t ToBridge(const SubscriberOptions& options) {
  zb_subscriber_options_t raw_options;
  zb_subscriber_options_default(&raw_options);
  raw_options.allowed_origin = static_cast<zb_locality_t>(options.allowed_origin);
  return raw_options;
}

}  // namespace

Subscriber Session::DeclareSubscriberRaw(const KeyExpr& key_expr, detail::SampleFn call,
                                         detail::DropFn drop, void* context, void* dropped_key,
                                         const SubscriberOptions& options) const {
  zb_closure_sample_t closure{context, call, drop};
  zb_subscriber_options_t raw_options = ToBridge(options);
  zb_subscriber_t* subscriber = nullptr;
  // The bridge owns the closure from here on, also when it fails; Zenoh's threads call it only
  // after the declaration has passed it to them.
  detail::HandOver(context);
  CheckResult(zb_declare_subscriber(handle_, &subscriber, key_expr.handle_, &closure, &raw_options),
              "Failed to declare Subscriber");
  return Subscriber(subscriber, dropped_key);
}

Subscriber Session::DeclareKeyedSubscriberRaw(const KeyExpr& key_expr, detail::KeyedSampleFn call,
                                              detail::DropFn drop, void* context, void* dropped_key,
                                              const SubscriberOptions& options) const {
  zb_closure_keyed_sample_t closure{context, call, drop};
  zb_subscriber_options_t raw_options = ToBridge(options);
  zb_subscriber_t* subscriber = nullptr;
  // As DeclareSubscriberRaw.
  detail::HandOver(context);
  CheckResult(
      zb_declare_keyed_subscriber(handle_, &subscriber, key_expr.handle_, &closure, &raw_options),
      "Failed to declare Subscriber");
  return Subscriber(subscriber, dropped_key);
}

void Session::GetRaw(const KeyExpr& key_expr, std::string_view parameters, detail::ReplyFn call,
                     detail::DropFn drop, void* context, GetOptions&& options) const {
  zb_closure_reply_t closure{context, call, drop};
  std::string parameter_text;
  try {
    parameter_text.assign(parameters);
  } catch (...) {
    // The query is not issued; its completion still runs once.
    drop(context);
    throw;
  }
  zb_get_options_t raw_options;
  zb_get_options_default(&raw_options);
  raw_options.target = static_cast<zb_query_target_t>(options.target);
  raw_options.consolidation = static_cast<zb_consolidation_mode_t>(options.consolidation);
  raw_options.encoding = static_cast<zb_encoding_id_t>(options.encoding);
  raw_options.congestion_control = static_cast<zb_congestion_control_t>(options.congestion_control);
  raw_options.priority = static_cast<zb_priority_t>(options.priority);
  raw_options.is_express = options.is_express;
  raw_options.allowed_destination = static_cast<zb_locality_t>(options.allowed_destination);
  raw_options.accept_replies = static_cast<zb_reply_keyexpr_t>(options.accept_replies);
  raw_options.timeout_ms = options.timeout_ms;
  if (options.payload.has_value()) {
    raw_options.payload = options.payload->Release();
    options.payload.reset();
  }
  // The bridge owns the closure and the payload from here on, also when it fails; Zenoh's threads
  // call the closure only after the query has passed it to them.
  detail::HandOver(context);
  CheckResult(zb_get(handle_, key_expr.handle_, parameter_text.c_str(), &closure, &raw_options),
              "Failed to perform get operation");
}

}  // namespace zenoh
