#include "mcap_file.h"

#include <kvn_zbridge.h>

#include <vector>

namespace korvan::record {

static_assert(static_cast<uint8_t>(McapFile::Compression::kZstd) == ZB_MCAP_ZSTD);
static_assert(static_cast<uint8_t>(McapFile::Compression::kLz4) == ZB_MCAP_LZ4);
static_assert(static_cast<uint8_t>(McapFile::Compression::kNone) == ZB_MCAP_NONE);

namespace {

const uint8_t* Bytes(std::string_view text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

}  // namespace

McapFile::McapFile(const std::string& path, uint64_t chunk_size, Compression compression,
                   uint32_t level) {
  char error[256] = {0};
  const zb_result_t code =
      zb_mcap_open(Bytes(path), path.size(), chunk_size, static_cast<uint8_t>(compression), level,
                   reinterpret_cast<uint8_t*>(error), sizeof error, &handle_);
  if (code != ZB_OK) {
    throw McapFileError(error[0] != 0 ? std::string(error)
                                      : "cannot create the file (code " + std::to_string(code) +
                                            ")");
  }
}

McapFile::~McapFile() { zb_mcap_drop(handle_); }

void McapFile::Fail(int8_t code) const {
  const uint8_t* data = nullptr;
  size_t size = 0;
  std::string reason;
  if (zb_mcap_error_message(handle_, &data, &size) == ZB_OK && size > 0) {
    reason.assign(reinterpret_cast<const char*>(data), size);
  } else {
    reason = "write failed (code " + std::to_string(code) + ")";
  }
  throw McapFileError(reason);
}

uint16_t McapFile::AddSchema(std::string_view name, std::string_view encoding,
                             std::string_view data) {
  uint16_t id = 0;
  const zb_result_t code = zb_mcap_add_schema(handle_, Bytes(name), name.size(), Bytes(encoding),
                                              encoding.size(), Bytes(data), data.size(), &id);
  if (code != ZB_OK) Fail(code);
  return id;
}

uint16_t McapFile::AddChannel(uint16_t schema_id, std::string_view topic,
                              std::string_view encoding) {
  uint16_t id = 0;
  const zb_result_t code = zb_mcap_add_channel(handle_, schema_id, Bytes(topic), topic.size(),
                                               Bytes(encoding), encoding.size(), &id);
  if (code != ZB_OK) Fail(code);
  return id;
}

void McapFile::Write(uint16_t channel_id, uint32_t sequence, uint64_t log_time,
                     uint64_t publish_time, const uint8_t* data, size_t size) {
  const zb_result_t code =
      zb_mcap_write_message(handle_, channel_id, sequence, log_time, publish_time, data, size);
  if (code != ZB_OK) Fail(code);
}

void McapFile::WriteMetadata(std::string_view name,
                             const std::map<std::string, std::string>& entries) {
  std::vector<const uint8_t*> keys;
  std::vector<size_t> key_lens;
  std::vector<const uint8_t*> values;
  std::vector<size_t> value_lens;
  for (const auto& [key, value] : entries) {
    keys.push_back(Bytes(key));
    key_lens.push_back(key.size());
    values.push_back(Bytes(value));
    value_lens.push_back(value.size());
  }
  const zb_result_t code =
      zb_mcap_write_metadata(handle_, Bytes(name), name.size(), keys.data(), key_lens.data(),
                             values.data(), value_lens.data(), entries.size());
  if (code != ZB_OK) Fail(code);
}

void McapFile::Flush() {
  const zb_result_t code = zb_mcap_flush(handle_);
  if (code != ZB_OK) Fail(code);
}

void McapFile::Finish() {
  const zb_result_t code = zb_mcap_finish(handle_);
  if (code != ZB_OK) Fail(code);
}

}  // namespace korvan::record
