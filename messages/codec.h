// Wire conventions of the message records: how each field type maps onto Zenoh's serializer.
// Every Read either replaces its target wholly or throws zenoh::ZException and leaves the target
// untouched (values are read into temporaries and moved into place); ReadInto and DecodeInto reuse
// the target's storage instead. Sequences are sized once, after their announced count has been
// checked against the bytes left, so a count from the network can never make us allocate more than
// a small multiple of the payload (see kStorageBytesPerPayloadByte). Stateless; any thread may
// call in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "messages/payload_reader.h"
#include "middleware/zenoh.h"

namespace korvan {
namespace zenoh_msgs {
namespace tyr_msg {

inline constexpr char kIncorrectSequenceSize[] = "Incorrect sequence size";
inline constexpr char kTrailingBytes[] =
    "Payload contains more bytes than required for deserialization";

// Fewest bytes one value of T takes on the wire: a lower bound used to reject sequence counts that
// the rest of the payload cannot hold. Message records specialise it next to their definition;
// it must never exceed a value's real size, or valid payloads would be refused.
template <class T>
struct WireSize;

template <>
struct WireSize<bool> {
  static constexpr size_t kMin = 1;
};
template <>
struct WireSize<int16_t> {
  static constexpr size_t kMin = 2;
};
template <>
struct WireSize<uint16_t> {
  static constexpr size_t kMin = 2;
};
template <>
struct WireSize<int32_t> {
  static constexpr size_t kMin = 4;
};
template <>
struct WireSize<uint32_t> {
  static constexpr size_t kMin = 4;
};
template <>
struct WireSize<float> {
  static constexpr size_t kMin = 4;
};
template <>  // its length, at least one byte
struct WireSize<std::string> {
  static constexpr size_t kMin = 1;
};
template <class T>  // its count, at least one byte
struct WireSize<std::vector<T>> {
  static constexpr size_t kMin = 1;
};
template <class T, size_t N>
struct WireSize<std::array<T, N>> {
  static constexpr size_t kMin = 1 + N * WireSize<T>::kMin;
};

// Sum of the minimum sizes of a record's fields, for the records' WireSize specialisations.
template <class... Fields>
inline constexpr size_t kMinWireSizeOf = (WireSize<Fields>::kMin + ... + 0);

// Most bytes of element storage a sequence may take per byte left in the payload, beyond
// kSequenceStorageAllowance. In memory an element can be many times its smallest form on the wire
// (an empty string: 32 bytes against 1), so a count that the bytes left could hold might still ask
// for tens of times the payload's size; such a count fails as one the payload cannot hold. The
// two such sequences of a reply (strings, rows of floats) then take under 8 times its size plus
// twice the allowance, and the rest of it no more than its size.
inline constexpr size_t kStorageBytesPerPayloadByte = 4;
// Element storage any sequence may take whatever the bytes left: a few thousand short strings
// always decode.
inline constexpr size_t kSequenceStorageAllowance = 64 * 1024;

// ---- Reading ---------------------------------------------------------------------------------
//
// Two readers run these functions: PayloadReader over a payload's contiguous bytes, and
// zenoh::Deserializer (through the bridge) for a payload in several pieces. Both give the same
// values and the same failures.
//
// ReadInto(in, value) overwrites value field by field, reusing the storage value already has; when
// it throws, value is valid but holds a mix of old and new. Read(in, value) is whole or nothing:
// it reads into a fresh value and moves it into place only once every field has been read.

template <class In>
void ReadInto(In& in, bool& value) {
  value = in.deserialize_bool();
}
template <class In>
void ReadInto(In& in, int16_t& value) {
  value = in.deserialize_int16();
}
template <class In>
void ReadInto(In& in, uint16_t& value) {
  value = in.deserialize_uint16();
}
template <class In>
void ReadInto(In& in, int32_t& value) {
  value = in.deserialize_int32();
}
template <class In>
void ReadInto(In& in, uint32_t& value) {
  value = in.deserialize_uint32();
}
template <class In>
void ReadInto(In& in, float& value) {
  value = in.deserialize_float();
}
template <class In>
void ReadInto(In& in, std::string& value) {
  value = in.deserialize_string();
}

template <class In, class T, size_t N>
void ReadInto(In& in, std::array<T, N>& value);
template <class In, class T>
void ReadInto(In& in, std::vector<T>& value);

template <class In, class T>
void Read(In& in, T& value) {
  T fresh{};
  ReadInto(in, fresh);
  value = std::move(fresh);
}

// count floats one after another; a reader that can take them in one piece does.
template <class In>
void ReadFloats(In& in, float* out, size_t count) {
  if constexpr (std::is_same_v<In, PayloadReader>) {
    in.deserialize_floats(out, count);
  } else {
    for (size_t i = 0; i < count; ++i) out[i] = in.deserialize_float();
  }
}

// Reads the count of a sequence of T and checks that the payload can still hold that many
// elements, and that their storage stays within kStorageBytesPerPayloadByte of the bytes left; a
// count that fails either fails like a payload that ends early.
template <class T, class In>
size_t ReadSequenceLength(In& in) {
  const size_t count = in.deserialize_sequence_length();
  const size_t left = in.bytes_left();
  const size_t storage_limit = kSequenceStorageAllowance + left * kStorageBytesPerPayloadByte;
  if (count > left / WireSize<T>::kMin || count > storage_limit / sizeof(T)) {
    throw zenoh::ZException(kSequenceLengthFailure, zenoh::kErrDeserialize);
  }
  return count;
}

// A fixed array: its count must be N, checked before any element is read.
template <class In, class T, size_t N>
void ReadInto(In& in, std::array<T, N>& value) {
  if (in.deserialize_sequence_length() != N) {
    throw zenoh::ZException(kIncorrectSequenceSize, zenoh::kErrDeserialize);
  }
  if constexpr (std::is_same_v<T, float>) {
    ReadFloats(in, value.data(), N);
  } else {
    for (T& element : value) {
      ReadInto(in, element);
    }
  }
}

// The vector takes the announced count at once (one allocation at most, none when its capacity
// already suffices), then its elements are read in place.
template <class In, class T>
void ReadInto(In& in, std::vector<T>& value) {
  const size_t count = ReadSequenceLength<T>(in);
  value.resize(count);
  if constexpr (std::is_same_v<T, float>) {
    ReadFloats(in, value.data(), count);
  } else {
    for (T& element : value) {
      ReadInto(in, element);
    }
  }
}

// ---- Writing ---------------------------------------------------------------------------------

inline void Write(zenoh::Serializer& out, bool value) { out.serialize(value); }
inline void Write(zenoh::Serializer& out, int16_t value) { out.serialize(value); }
inline void Write(zenoh::Serializer& out, uint16_t value) { out.serialize(value); }
inline void Write(zenoh::Serializer& out, int32_t value) { out.serialize(value); }
inline void Write(zenoh::Serializer& out, uint32_t value) { out.serialize(value); }
inline void Write(zenoh::Serializer& out, float value) { out.serialize(value); }
inline void Write(zenoh::Serializer& out, const std::string& value) {
  out.serialize(std::string_view(value));
}

template <class T, size_t N>
void Write(zenoh::Serializer& out, const std::array<T, N>& value);
template <class T>
void Write(zenoh::Serializer& out, const std::vector<T>& value);

template <class T, size_t N>
void Write(zenoh::Serializer& out, const std::array<T, N>& value) {
  out.serialize_sequence_length(N);
  for (const T& element : value) {
    Write(out, element);
  }
}

template <class T>
void Write(zenoh::Serializer& out, const std::vector<T>& value) {
  out.serialize_sequence_length(value.size());
  for (const T& element : value) {
    Write(out, element);
  }
}

// ---- Whole payloads --------------------------------------------------------------------------

template <class T, class In>
void ReadWhole(In& in, T& record) {
  ReadInto(in, record);
  if (!in.is_done()) {
    throw zenoh::ZException(kTrailingBytes, zenoh::kErrDeserialize);
  }
}

// Reads a whole T from the payload into record, reusing its storage; bytes left over fail the
// decode. When it throws, record is valid but partly overwritten: decode into a spare record and
// swap it into place when the old contents must survive a bad payload.
template <class T>
void DecodeInto(zenoh::BytesView payload, T& record) {
  if (const std::optional<zenoh::ByteSpan> bytes = payload.contiguous()) {
    PayloadReader in(*bytes);
    ReadWhole(in, record);
  } else {
    zenoh::Deserializer in(payload);
    ReadWhole(in, record);
  }
}

// Reads a whole T from the payload; bytes left over fail the decode.
template <class T>
T Decode(zenoh::BytesView payload) {
  T record{};
  DecodeInto(payload, record);
  return record;
}

// Writes a whole T into a new payload.
template <class T>
zenoh::Bytes Encode(const T& record) {
  zenoh::Serializer out;
  Write(out, record);
  return out.finish();
}

}  // namespace tyr_msg
}  // namespace zenoh_msgs
}  // namespace korvan
