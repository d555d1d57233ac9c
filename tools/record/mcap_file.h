// An MCAP file being written, over the bridge's writer: one owner, one thread at a time. Every
// failure throws McapFileError with the reason (for a full disk, the operating system's text);
// after a failure the file keeps every chunk finished before it and accepts nothing more.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

struct zb_mcap_writer_t;

namespace korvan::record {

class McapFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class McapFile {
 public:
  enum class Compression : uint8_t { kZstd, kLz4, kNone };

  // Creates or truncates `path`. Chunks close at `chunk_size` bytes before compression and are
  // compressed at `level` (0 for the compressor's default; kNone stores them as they are).
  McapFile(const std::string& path, uint64_t chunk_size, Compression compression, uint32_t level);
  ~McapFile();
  McapFile(const McapFile&) = delete;
  McapFile& operator=(const McapFile&) = delete;

  uint16_t AddSchema(std::string_view name, std::string_view encoding, std::string_view data);
  uint16_t AddChannel(uint16_t schema_id, std::string_view topic, std::string_view encoding);
  void Write(uint16_t channel_id, uint32_t sequence, uint64_t log_time, uint64_t publish_time,
             const uint8_t* data, size_t size);
  void WriteMetadata(std::string_view name, const std::map<std::string, std::string>& entries);
  // Closes the current chunk and hands it to the operating system.
  void Flush();
  // Summary, indexes and footer; the file is complete and closed afterwards.
  void Finish();

 private:
  [[noreturn]] void Fail(int8_t code) const;

  zb_mcap_writer_t* handle_ = nullptr;
};

}  // namespace korvan::record
