// Reads Zenoh's serializer format (little-endian numbers, a bool as one byte 0 or 1, LEB128
// lengths) straight from a payload's contiguous bytes, with the same interface, results and
// failures as zenoh::Deserializer, so the message readers run on either. Decoding a stream sample
// this way costs no call into the bridge per value. The bytes must outlive the reader; one thread
// at a time. Every failed read throws zenoh::ZException with kErrDeserialize.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "middleware/zenoh.h"

namespace korvan {
namespace zenoh_msgs {
namespace tyr_msg {

using zenoh::kSequenceLengthFailure;
inline constexpr const char* kValueFailure = zenoh::kDeserializationFailure;

class PayloadReader {
 public:
  explicit PayloadReader(zenoh::ByteSpan bytes) noexcept
      : next_(bytes.data), end_(bytes.data + bytes.size) {}

  bool deserialize_bool() {
    Need(1);
    const uint8_t byte = *next_++;
    // zenoh-ext accepts 0 and 1 only; the byte counts as read either way.
    if (byte > 1) Fail(kValueFailure);
    return byte == 1;
  }
  int16_t deserialize_int16() { return Fixed<int16_t>(); }
  uint16_t deserialize_uint16() { return Fixed<uint16_t>(); }
  int32_t deserialize_int32() { return Fixed<int32_t>(); }
  uint32_t deserialize_uint32() { return Fixed<uint32_t>(); }
  float deserialize_float() { return Fixed<float>(); }

  // count floats into out, all or none: fails, reading nothing, when fewer are left.
  void deserialize_floats(float* out, size_t count) {
    if (count > bytes_left() / sizeof(float)) Fail(kValueFailure);
    if constexpr (kLittleEndian) {
      if (count != 0) std::memcpy(out, next_, count * sizeof(float));
      next_ += count * sizeof(float);
    } else {
      for (size_t i = 0; i < count; ++i) out[i] = Fixed<float>();
    }
  }

  // Any bytes, not checked for UTF-8; a failing length fails as the string.
  std::string deserialize_string() {
    const size_t size = Length(kValueFailure);
    if (size > bytes_left()) Fail(kValueFailure);
    std::string value(reinterpret_cast<const char*>(next_), size);
    next_ += size;
    return value;
  }

  size_t deserialize_sequence_length() { return Length(kSequenceLengthFailure); }

  bool is_done() const noexcept { return next_ == end_; }
  size_t bytes_left() const noexcept { return static_cast<size_t>(end_ - next_); }

 private:
  static constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

  [[noreturn]] static void Fail(const char* message) {
    throw zenoh::ZException(message, zenoh::kErrDeserialize);
  }

  void Need(size_t size) const {
    if (bytes_left() < size) Fail(kValueFailure);
  }

  template <class T>
  T Fixed() {
    Need(sizeof(T));
    T value;
    if constexpr (kLittleEndian) {
      std::memcpy(&value, next_, sizeof(T));
    } else {
      unsigned char swapped[sizeof(T)];
      for (size_t i = 0; i < sizeof(T); ++i) swapped[i] = next_[sizeof(T) - 1 - i];
      std::memcpy(&value, swapped, sizeof(T));
    }
    next_ += sizeof(T);
    return value;
  }

  // LEB128 as zenoh-ext reads it into a 64-bit length: up to ten bytes, the tenth 0 or 1 (else the
  // value would not fit); an encoding longer than needed is accepted.
  size_t Length(const char* failure) {
    uint64_t value = 0;
    for (unsigned shift = 0;; shift += 7) {
      if (next_ == end_) Fail(failure);
      const uint8_t byte = *next_++;
      if (shift == 63 && byte > 1) Fail(failure);
      value |= static_cast<uint64_t>(byte & 0x7f) << shift;
      if ((byte & 0x80) == 0) break;
    }
    static_assert(sizeof(size_t) == sizeof(uint64_t), "lengths are read as 64-bit values");
    return static_cast<size_t>(value);
  }

  const uint8_t* next_;
  const uint8_t* end_;
};

}  // namespace tyr_msg
}  // namespace zenoh_msgs
}  // namespace korvan
