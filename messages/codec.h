// Wire conventions of the message records: how each field type maps onto Zenoh's serializer.
// Every Read either replaces its target wholly or throws zenoh::ZException and leaves the target
// untouched (values are read into temporaries and moved into place). Sequences are reserved once,
// after their announced count has been checked against the bytes left, so a count from the network
// can never make us allocate more than the payload could fill. Stateless; any thread may call in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "middleware/zenoh.h"

namespace korvan {
namespace zenoh_msgs {
namespace tyr_msg {

inline constexpr char kSequenceLengthFailure[] =
    "Deserialization failure:: Failed to read sequence length";
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

// ---- Reading ---------------------------------------------------------------------------------

inline void Read(zenoh::Deserializer& in, bool& value) { value = in.deserialize_bool(); }
inline void Read(zenoh::Deserializer& in, int16_t& value) { value = in.deserialize_int16(); }
inline void Read(zenoh::Deserializer& in, uint16_t& value) { value = in.deserialize_uint16(); }
inline void Read(zenoh::Deserializer& in, int32_t& value) { value = in.deserialize_int32(); }
inline void Read(zenoh::Deserializer& in, uint32_t& value) { value = in.deserialize_uint32(); }
inline void Read(zenoh::Deserializer& in, float& value) { value = in.deserialize_float(); }
inline void Read(zenoh::Deserializer& in, std::string& value) { value = in.deserialize_string(); }

template <class T, size_t N>
void Read(zenoh::Deserializer& in, std::array<T, N>& value);
template <class T>
void Read(zenoh::Deserializer& in, std::vector<T>& value);

// Reads a sequence count and checks that the payload can still hold that many elements of at
// least min_element_size bytes each; a count that cannot fit fails like a payload that ends early.
inline size_t ReadSequenceLength(zenoh::Deserializer& in, size_t min_element_size) {
  const size_t count = in.deserialize_sequence_length();
  if (count > in.bytes_left() / min_element_size) {
    throw zenoh::ZException(kSequenceLengthFailure, zenoh::kErrDeserialize);
  }
  return count;
}

// A fixed array: its count must be N, checked before any element is read.
template <class T, size_t N>
void Read(zenoh::Deserializer& in, std::array<T, N>& value) {
  if (in.deserialize_sequence_length() != N) {
    throw zenoh::ZException(kIncorrectSequenceSize, zenoh::kErrDeserialize);
  }
  std::array<T, N> fresh{};
  for (T& element : fresh) {
    Read(in, element);
  }
  value = std::move(fresh);
}

template <class T>
void Read(zenoh::Deserializer& in, std::vector<T>& value) {
  const size_t count = ReadSequenceLength(in, WireSize<T>::kMin);
  std::vector<T> fresh;
  fresh.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    Read(in, fresh.emplace_back());
  }
  value = std::move(fresh);
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

// Reads a whole T from the payload; bytes left over fail the decode.
template <class T>
T Decode(zenoh::BytesView payload) {
  zenoh::Deserializer in(payload);
  T record;
  Read(in, record);
  if (!in.is_done()) {
    throw zenoh::ZException(kTrailingBytes, zenoh::kErrDeserialize);
  }
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
