// korvantyr-record (native part): records one robot into an MCAP file, every sample of both data
// streams byte for byte, the same samples cut into per-group channels by the client's own decoders
// and segmentation, the start-up facts as metadata and the remote-call answers polled at a fixed
// rate, raw and decoded.
//
// Threads: Zenoh's threads run the two sample callbacks, which only copy the payload and its
// receive time into the bounded SampleQueue (its mutex); the RPC thread polls the robot and pushes
// the replies into the same queue; the writer thread alone decodes and writes the file; the main
// thread starts everything, waits for the end (Ctrl-C, SIGTERM, --seconds, a failed write), shows
// progress and prints the summary. Samples that find the queue full are counted, never silently
// dropped. Counters read by the main thread are atomics.

#include "tools/commands.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <spdlog/spdlog.h>

#include "channels.h"
#include "client/serial_number.h"
#include "common/kvn_state.h"
#include "korvantyr/korvantyr.h"
#include "mcap_file.h"
#include "messages/codec.h"
#include "messages/payload_reader.h"
#include "messages/rpc_messages.h"
#include "messages/stream_messages.h"
#include "middleware/robot_keys.h"
#include "middleware/session.h"
#include "middleware/zenoh.h"
#include "rpc/data_rpc.h"
#include "rpc/start_id_and_dof.h"
#include "stream/deferred_log.h"
#include "stream/segmentation.h"

// A reply kept as the robot sent it; decoding it is the writer's business, so even a reply the
// client's decoder refuses is recorded.
namespace korvan::record {
struct RawReply {
  std::vector<uint8_t> bytes;
};
}  // namespace korvan::record

namespace korvan::zenoh_msgs::tyr_msg {
template <>
inline record::RawReply Decode<record::RawReply>(zenoh::BytesView payload) {
  return record::RawReply{payload.as_vector()};
}
}  // namespace korvan::zenoh_msgs::tyr_msg

#include "middleware/rpc_client.h"

namespace korvan::record {

namespace {

namespace msgs = zenoh_msgs::tyr_msg;
namespace mdw = zenoh_mdw;
using tyr::JointGroup;
using SteadyClock = std::chrono::steady_clock;

constexpr const char* kProg = "korvantyr-record";

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitInterrupted = 130;

// Samples (and replies) waiting for the writer at most: at 10 kHz on both streams, six seconds.
constexpr size_t kQueueCapacity = size_t{1} << 17;
// And their bytes at most, so that a robot with very large samples cannot exhaust memory.
constexpr size_t kQueueByteCapacity = size_t{512} << 20;
// Items (and their buffers, up to this size each) kept between batches for reuse: a second of
// a 1 kHz robot, or 50 ms at 10 kHz.
constexpr size_t kReusedItems = 2048;
constexpr size_t kReusedItemBytes = size_t{64} << 10;
// A chunk is closed at this many bytes before compression, and at the latest every second, so
// that a killed recorder loses at most one second.
constexpr uint64_t kChunkSize = uint64_t{4} << 20;
constexpr auto kFlushInterval = std::chrono::seconds(1);
// zstd's fastest regular level: a 10 kHz robot must not wait on the compressor. lz4 at its
// default.
constexpr uint32_t kZstdLevel = 1;
constexpr int kProbes = 3;
constexpr auto kFirstSampleWait = std::chrono::seconds(3);

constexpr const char* kHelp =
    "usage: korvantyr-record SERIAL [-o FILE] [--seconds S] [--rpc-rate HZ] [--raw-only]\n"
    "                        [--compression zstd|lz4|none] [--quiet]\n"
    "\n"
    "Records the robot SERIAL into an MCAP file until Ctrl-C, SIGTERM or --seconds: every\n"
    "sample of its basic and extra data streams as it arrived (raw/basic_stream_data,\n"
    "raw/extra_stream_data: the payload byte for byte, with the receive time as log time and\n"
    "the robot's time stamp as publish time), the same samples cut into joint groups\n"
    "(/GROUP/states, /GROUP/actions, /GROUP/tcp_pose, /io: ROS 2 message definitions, CDR),\n"
    "the start-up facts as metadata, and the answers to the plan-info, primitive-state and\n"
    "configuration-score calls polled at --rpc-rate (raw/rpc/ID and /rpc/ID). Samples that\n"
    "do not decode are kept raw and counted. At the end it prints what it kept.\n"
    "\n"
    "options:\n"
    "  -o, --output FILE  the MCAP file to write (default: korvantyr_record.mcap)\n"
    "  --seconds S        stop after S seconds (default: until Ctrl-C or SIGTERM)\n"
    "  --rpc-rate HZ      polls of the remote calls per second, 0 for none (default: 1)\n"
    "  --raw-only         keep the raw samples and replies only, no decoded channels\n"
    "  --compression zstd|lz4|none\n"
    "                     how chunks are stored (default: zstd). lz4 takes a little less CPU\n"
    "                     for a third more file; 'none' spares the recorder the compression's\n"
    "                     CPU: for 10 kHz streams with the decoded channels on a small\n"
    "                     computer, where zstd cannot keep up. Every sample is kept there, at\n"
    "                     about three times the file size (16 joints at 10 kHz: 6.6 GiB a\n"
    "                     minute, against 2.3 with zstd and 3.1 with lz4)\n"
    "  --quiet            no progress line on a terminal, no start line elsewhere\n"
    "  -h, --help         show this help and exit\n"
    "\n"
    "exit codes:\n"
    "  0    recorded (Ctrl-C and SIGTERM end a recording normally)\n"
    "  1    the robot did not answer, or the file could not be written (the disk full: the\n"
    "       file keeps what was written before, up to the last second)\n"
    "  2    usage error\n"
    "  130  Ctrl-C before the recording began\n";

using korvan::tools::UsageError;

struct Options {
  std::string serial;
  std::string output = "korvantyr_record.mcap";
  std::optional<double> seconds;
  double rpc_rate = 1.0;
  bool raw_only = false;
  McapFile::Compression compression = McapFile::Compression::kZstd;
  bool quiet = false;
  bool help = false;
};

double ParseNumber(const std::string& option, const std::string& text, bool zero_allowed) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value) ||
      value < 0.0 || (!zero_allowed && value == 0.0) || value > 1e7) {
    throw UsageError(option + " takes a number " + (zero_allowed ? ">= 0" : "above 0") +
                     ", not '" + text + "'");
  }
  return value;
}

Options ParseArguments(int argc, char** argv) {
  Options options;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const std::string& name) -> std::string {
      const std::string prefix = name + "=";
      if (arg.rfind(prefix, 0) == 0) return arg.substr(prefix.size());
      if (i + 1 == argc) throw UsageError(name + " needs a value");
      return argv[++i];
    };
    auto is = [&](const std::string& name) {
      return arg == name || arg.rfind(name + "=", 0) == 0;
    };
    if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (arg == "-o" || is("--output")) {
      options.output = arg == "-o" ? value("-o") : value("--output");
    } else if (is("--seconds")) {
      options.seconds = ParseNumber("--seconds", value("--seconds"), false);
    } else if (is("--rpc-rate")) {
      options.rpc_rate = ParseNumber("--rpc-rate", value("--rpc-rate"), true);
    } else if (arg == "--raw-only") {
      options.raw_only = true;
    } else if (is("--compression")) {
      const std::string choice = value("--compression");
      if (choice == "zstd") {
        options.compression = McapFile::Compression::kZstd;
      } else if (choice == "lz4") {
        options.compression = McapFile::Compression::kLz4;
      } else if (choice == "none") {
        options.compression = McapFile::Compression::kNone;
      } else {
        throw UsageError("--compression takes zstd, lz4 or none, not '" + choice + "'");
      }
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw UsageError("unknown option '" + arg + "'");
    } else {
      positional.push_back(arg);
    }
  }
  if (options.help) return options;
  if (positional.empty()) {
    throw UsageError("the robot's serial number is missing (korvantyr-scan lists the robots)");
  }
  if (positional.size() > 1) throw UsageError("unexpected argument '" + positional[1] + "'");
  if (options.output.empty()) throw UsageError("-o needs a file name");
  options.serial = positional[0];
  return options;
}

uint64_t WallNs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

uint64_t ProcessCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

// ---- The queue between Zenoh's threads and the writer -----------------------------------------

enum class Source : uint8_t { kBasic = 0, kExtra = 1, kRpc = 2 };

struct Item {
  Source source = Source::kBasic;
  uint16_t request_id = 0;  // kRpc only
  uint32_t sequence = 0;    // arrival number on its stream, from 1: a queue loss leaves a gap
  uint64_t received_ns = 0;
  std::vector<uint8_t> bytes;
};

class SampleQueue {
 public:
  // Takes the item unless the queue is full; a refused item is counted as lost for its source.
  // The writer is not woken: it takes what has come every `wait` (one wake-up per sample would
  // cost a context switch per sample at 10 kHz).
  void Push(Item&& item) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Full(item.source, item.bytes.size())) return;
    bytes_ += item.bytes.size();
    Slot() = std::move(item);
  }

  // The same for a sample's payload, copied into the buffer of an item the writer has finished
  // with: once the queue has run for a moment, a sample costs no allocation.
  void PushCopy(Source source, uint32_t sequence, uint64_t received_ns, const uint8_t* data,
                size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Full(source, size)) return;
    bytes_ += size;
    Item& item = Slot();
    item.source = source;
    item.request_id = 0;
    item.sequence = sequence;
    item.received_ns = received_ns;
    item.bytes.assign(data, data + size);
  }

  // Waits `wait` (or until the queue is closed), then swaps the waiting items into `batch`, whose
  // items the queue fills again from then on; `count` is how many items of `batch` are new. False
  // once the queue is closed and empty. The lock is held for a swap, not for a copy per item.
  bool Take(std::vector<Item>& batch, size_t& count, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait_for(lock, wait, [this] { return closed_; });
    batch.swap(items_);
    count = count_;
    count_ = 0;
    bytes_ = 0;
    return !(closed_ && count == 0);
  }

  void Close() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closed_ = true;
    }
    ready_.notify_all();
  }

  uint64_t Lost(Source source) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lost_[static_cast<size_t>(source)];
  }

  // The payload of the latest basic sample waiting, if any (the start-up reads the groups in it).
  std::optional<std::vector<uint8_t>> LatestBasic() const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = count_; i-- > 0;) {
      if (items_[i].source == Source::kBasic) return items_[i].bytes;
    }
    return std::nullopt;
  }

 private:
  bool Full(Source source, size_t size) {
    if (count_ >= kQueueCapacity || bytes_ + size > kQueueByteCapacity) {
      ++lost_[static_cast<size_t>(source)];
      return true;
    }
    return false;
  }

  // The next free item, one used before where there is one (its buffer keeps its capacity).
  Item& Slot() {
    if (count_ == items_.size()) items_.emplace_back();
    return items_[count_++];
  }

  mutable std::mutex mutex_;  // guards items_, count_, bytes_, closed_, lost_
  std::condition_variable ready_;
  std::vector<Item> items_;  // the first count_ are waiting; the rest are free, for reuse
  size_t count_ = 0;
  size_t bytes_ = 0;
  bool closed_ = false;
  uint64_t lost_[3] = {0, 0, 0};
};

// ---- Start-up facts --------------------------------------------------------------------------

struct StartUp {
  bool probe_answered = false;
  std::string server_version;  // empty: no answer
  std::map<JointGroup, std::string> group_names;
  std::map<JointGroup, int32_t> start_ids;
  std::map<JointGroup, uint64_t> dofs;
  bool groups_known = false;
};

using RawRpc = mdw::RpcClient<msgs::RPCRequest, RawReply>;

std::optional<msgs::RPCReply> DecodeReply(const std::vector<uint8_t>& bytes) {
  try {
    msgs::RPCReply reply;
    msgs::PayloadReader in(zenoh::ByteSpan{bytes.data(), bytes.size()});
    msgs::ReadWhole(in, reply);
    return reply;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// One remote call; its raw reply goes into the queue (the recording keeps every answer).
std::optional<msgs::RPCReply> Call(RawRpc& rpc, SampleQueue& queue, uint16_t request_id,
                                   std::vector<uint16_t> groups, double timeout,
                                   uint32_t& sequence) {
  msgs::RPCRequest request;
  request.request_id = request_id;
  request.joint_groups = std::move(groups);
  RawReply reply;
  if (!rpc.SendRequestAndGetReply(request, reply, timeout)) return std::nullopt;
  Item item;
  item.source = Source::kRpc;
  item.request_id = request_id;
  item.sequence = ++sequence;
  item.received_ns = WallNs();
  std::optional<msgs::RPCReply> decoded = DecodeReply(reply.bytes);
  item.bytes = std::move(reply.bytes);
  queue.Push(std::move(item));
  return decoded;
}

// ---- The writer ------------------------------------------------------------------------------

struct StreamTally {
  std::atomic<uint64_t> received{0};  // by the callback, queue losses included
  std::atomic<uint64_t> written{0};
  std::atomic<uint64_t> undecodable{0};
  std::atomic<uint64_t> unsegmented{0};  // decoded, but not cut into the robot's groups
};

struct Gap {
  double at_s = 0.0;  // robot time since the first sample
  double length_s = 0.0;
};

// The robot's own time stamps: rate, gaps (a step of more than three typical periods) and steps
// back. The typical period is the median of the first steps, then follows the steps that are not
// gaps; the first steps are judged once it is known. Writer thread only.
class RobotClock {
 public:
  void Add(std::pair<int32_t, uint32_t> stamp) {
    const double t = static_cast<double>(stamp.first) + static_cast<double>(stamp.second) * 1e-9;
    if (count_ == 0) {
      first_ = t;
    } else {
      const double dt = t - last_;
      if (dt < 0.0) {
        ++backwards_;
      } else if (typical_ == 0.0) {
        early_.push_back({last_ - first_, dt});
        if (early_.size() == kEarlySteps) JudgeEarlySteps();
      } else {
        Step(last_ - first_, dt);
      }
    }
    last_ = t;
    ++count_;
  }
  double Rate() const {
    return count_ > 1 && last_ > first_ ? static_cast<double>(count_ - 1) / (last_ - first_) : 0.0;
  }
  // Call once the last sample is in: a short recording judges its steps here.
  void Finish() {
    if (typical_ == 0.0 && !early_.empty()) JudgeEarlySteps();
  }
  const std::vector<Gap>& gaps() const { return gaps_; }
  double LongestGap() const {
    double longest = 0.0;
    for (const Gap& gap : gaps_) longest = std::max(longest, gap.length_s);
    return longest;
  }
  uint64_t backwards() const { return backwards_; }

 private:
  static constexpr size_t kEarlySteps = 16;

  void JudgeEarlySteps() {
    std::vector<double> steps;
    for (const Gap& step : early_) steps.push_back(step.length_s);
    std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
    typical_ = std::max(steps[steps.size() / 2], 1e-9);
    for (const Gap& step : early_) Step(step.at_s, step.length_s);
    early_.clear();
  }

  void Step(double at, double dt) {
    if (dt > 3.0 * typical_ && dt > 1e-3) {
      gaps_.push_back({at, dt});
    } else if (dt > 0.0) {
      typical_ += 0.01 * (dt - typical_);
    }
  }

  uint64_t count_ = 0;
  double first_ = 0.0;
  double last_ = 0.0;
  double typical_ = 0.0;  // 0 until the first steps are judged
  uint64_t backwards_ = 0;
  std::vector<Gap> early_;  // the first steps (at, length), until the typical one is known
  std::vector<Gap> gaps_;
};

class Writer {
 public:
  Writer(McapFile& file, const StartUp& startup, bool raw_only)
      : file_(file), startup_(startup), raw_only_(raw_only) {
    raw_basic_ = file_.AddChannel(0, "raw/basic_stream_data", kRawEncoding);
    raw_extra_ = file_.AddChannel(0, "raw/extra_stream_data", kRawEncoding);
  }

  // Writes everything the queue gives until it is closed and empty, or a write fails.
  void Run(SampleQueue& queue) {
    std::vector<Item> batch;
    size_t count = 0;
    auto last_flush = SteadyClock::now();
    try {
      while (queue.Take(batch, count, std::chrono::milliseconds(10))) {
        for (size_t i = 0; i < count; ++i) Write(batch[i]);
        KeepForReuse(batch);
        if (SteadyClock::now() - last_flush >= kFlushInterval) {
          file_.Flush();
          last_flush = SteadyClock::now();
        }
      }
    } catch (const McapFileError& e) {
      std::lock_guard<std::mutex> lock(error_mutex_);
      error_ = e.what();
      failed_.store(true);
    }
  }

  // The batch goes back to the queue to be filled again; a burst (a writer that fell behind, a
  // very large sample) must not keep its memory for the rest of the recording.
  static void KeepForReuse(std::vector<Item>& batch) {
    if (batch.size() > kReusedItems) {
      batch.resize(kReusedItems);
      batch.shrink_to_fit();
    }
    for (Item& item : batch) {
      if (item.bytes.capacity() > kReusedItemBytes) std::vector<uint8_t>().swap(item.bytes);
    }
  }

  bool failed() const { return failed_.load(); }
  std::string error() const {
    std::lock_guard<std::mutex> lock(error_mutex_);
    return error_;
  }

  StreamTally basic;
  StreamTally extra;
  std::atomic<uint64_t> replies{0};
  std::atomic<uint64_t> undecodable_replies{0};
  RobotClock clock;  // read by the main thread only after Run has returned

 private:
  uint16_t Channel(const std::string& topic, const MessageType& type) {
    auto it = channels_.find(topic);
    if (it != channels_.end()) return it->second;
    auto schema = schemas_.find(type.name);
    if (schema == schemas_.end()) {
      schema = schemas_.emplace(type.name, file_.AddSchema(type.name, "ros2msg", type.definition))
                   .first;
    }
    return channels_.emplace(topic, file_.AddChannel(schema->second, topic, "cdr")).first->second;
  }

  uint16_t RawRpcChannel(uint16_t request_id) {
    const std::string topic = "raw/rpc/" + std::to_string(request_id);
    auto it = channels_.find(topic);
    if (it != channels_.end()) return it->second;
    return channels_.emplace(topic, file_.AddChannel(0, topic, kRawEncoding)).first->second;
  }

  // Next sequence number of a decoded channel.
  uint32_t Next(uint16_t channel) { return ++sequences_[channel]; }

  void Put(const std::string& topic, const MessageType& type, uint64_t log_time,
           uint64_t publish_time) {
    Put(Channel(topic, type), log_time, publish_time);
  }
  void Put(uint16_t channel, uint64_t log_time, uint64_t publish_time) {
    file_.Write(channel, Next(channel), log_time, publish_time, buffer_.data(), buffer_.size());
  }

  // A joint group's decoded channels, added to the file the first time the group shows.
  struct GroupChannels {
    uint16_t states = 0;
    uint16_t tcp_pose = 0;
    uint16_t actions = 0;
  };
  const GroupChannels& ChannelsOf(JointGroup group) {
    auto it = group_channels_.find(group);
    if (it == group_channels_.end()) {
      const std::string prefix = "/" + GroupName(group) + "/";
      GroupChannels channels;
      channels.states = Channel(prefix + "states", kRobotStatesType);
      channels.tcp_pose = Channel(prefix + "tcp_pose", kPoseStampedType);
      channels.actions = Channel(prefix + "actions", kRobotActionsType);
      it = group_channels_.emplace(group, channels).first;
    }
    return it->second;
  }

  static uint64_t StampNs(std::pair<int32_t, uint32_t> stamp, uint64_t fallback) {
    if (stamp.first < 0 || stamp.second >= 1000000000u) return fallback;
    return static_cast<uint64_t>(stamp.first) * 1000000000u + stamp.second;
  }

  void Write(const Item& item) {
    switch (item.source) {
      case Source::kBasic:
        WriteBasic(item);
        break;
      case Source::kExtra:
        WriteExtra(item);
        break;
      case Source::kRpc:
        WriteReply(item);
        break;
    }
  }

  template <class T>
  bool DecodeSample(const Item& item, T& record) {
    try {
      msgs::PayloadReader in(zenoh::ByteSpan{item.bytes.data(), item.bytes.size()});
      msgs::ReadWhole(in, record);
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }

  void WriteBasic(const Item& item) {
    const bool decoded = DecodeSample(item, basic_record_);
    if (decoded) latest_stamp_ = basic_record_.timestamp;
    const uint64_t publish =
        decoded ? StampNs(basic_record_.timestamp, item.received_ns) : item.received_ns;
    file_.Write(raw_basic_, item.sequence, item.received_ns, publish, item.bytes.data(),
                item.bytes.size());
    basic.written.fetch_add(1, std::memory_order_relaxed);
    if (!decoded) {
      basic.undecodable.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    clock.Add(basic_record_.timestamp);
    if (raw_only_) return;
    const Stamp stamp = basic_record_.timestamp;
    EncodeSafetyIo(basic_record_.safety_io, stamp, buffer_);
    Put("/io", kSafetyIoType, item.received_ns, publish);
    if (!startup_.groups_known) return;
    tyr_impl::DeferredLog quiet;
    const auto states = tyr_impl::SegmentStates(basic_record_, startup_.group_names,
                                                startup_.start_ids, startup_.dofs, quiet);
    if (states.empty()) {
      basic.unsegmented.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    for (const auto& [group, s] : states) {
      const GroupChannels& channels = ChannelsOf(group);
      EncodeStates(s, buffer_);
      Put(channels.states, item.received_ns, publish);
      EncodePose(s.tcp_pose, stamp, buffer_);
      Put(channels.tcp_pose, item.received_ns, publish);
    }
  }

  void WriteExtra(const Item& item) {
    const bool decoded = DecodeSample(item, extra_record_);
    file_.Write(raw_extra_, item.sequence, item.received_ns, item.received_ns, item.bytes.data(),
                item.bytes.size());
    extra.written.fetch_add(1, std::memory_order_relaxed);
    if (!decoded) {
      extra.undecodable.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (raw_only_ || !startup_.groups_known) return;
    tyr_impl::DeferredLog quiet;
    const auto actions = tyr_impl::SegmentActions(latest_stamp_, extra_record_,
                                                  startup_.group_names, startup_.start_ids,
                                                  startup_.dofs, quiet);
    if (actions.empty()) {
      extra.unsegmented.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    for (const auto& [group, a] : actions) {
      EncodeActions(a, latest_stamp_, buffer_);
      Put(ChannelsOf(group).actions, item.received_ns, item.received_ns);
    }
  }

  void WriteReply(const Item& item) {
    const uint16_t channel = RawRpcChannel(item.request_id);
    file_.Write(channel, item.sequence, item.received_ns, item.received_ns, item.bytes.data(),
                item.bytes.size());
    replies.fetch_add(1, std::memory_order_relaxed);
    const std::optional<msgs::RPCReply> reply = DecodeReply(item.bytes);
    if (!reply) {
      undecodable_replies.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (raw_only_) return;
    const Stamp stamp{static_cast<int32_t>(item.received_ns / 1000000000u),
                      static_cast<uint32_t>(item.received_ns % 1000000000u)};
    EncodeReply(*reply, stamp, buffer_);
    Put("/rpc/" + std::to_string(item.request_id), kRpcReplyType, item.received_ns,
        item.received_ns);
  }

  static const std::string& GroupName(JointGroup group) {
    static const std::string kUnknown = "UNKNOWN";
    auto it = tyr::kJointGroupNames.find(group);
    return it == tyr::kJointGroupNames.end() ? kUnknown : it->second;
  }

  McapFile& file_;
  const StartUp& startup_;
  const bool raw_only_;
  uint16_t raw_basic_ = 0;
  uint16_t raw_extra_ = 0;
  std::map<std::string, uint16_t> channels_;
  std::map<std::string_view, uint16_t> schemas_;
  std::map<uint16_t, uint32_t> sequences_;
  std::map<JointGroup, GroupChannels> group_channels_;
  msgs::AllBasicStreamData basic_record_;
  msgs::AllExtraStreamData extra_record_;
  std::pair<int32_t, uint32_t> latest_stamp_{};
  std::vector<uint8_t> buffer_;
  mutable std::mutex error_mutex_;  // guards error_
  std::string error_;
  std::atomic<bool> failed_{false};
};

// ---- Signals ---------------------------------------------------------------------------------

std::atomic<int> stop_signal{0};

extern "C" void OnStopSignal(int signal_number) { stop_signal.store(signal_number); }

void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// ---- The command -----------------------------------------------------------------------------

std::string HostName() {
  char name[256] = {0};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

std::string Iso8601(uint64_t ns) {
  const time_t seconds = static_cast<time_t>(ns / 1000000000u);
  tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03uZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<unsigned>((ns / 1000000u) % 1000u));
  return text;
}

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Size(uint64_t bytes) {
  if (bytes < 10u * 1024u) return std::to_string(bytes) + " B";
  if (bytes < 10u * 1024u * 1024u) return Fixed(static_cast<double>(bytes) / 1024.0, 1) + " KiB";
  return Fixed(static_cast<double>(bytes) / (1024.0 * 1024.0), 1) + " MiB";
}

uint64_t FileSize(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return 0;
  std::fseek(file, 0, SEEK_END);
  const long size = std::ftell(file);
  std::fclose(file);
  return size < 0 ? 0 : static_cast<uint64_t>(size);
}

bool Stopped() { return stop_signal.load() != 0; }

// Sleeps up to `duration`, returning early once a stop signal arrived.
void Nap(std::chrono::milliseconds duration) {
  const auto end = SteadyClock::now() + duration;
  while (!Stopped() && SteadyClock::now() < end) {
    std::this_thread::sleep_for(std::min<SteadyClock::duration>(
        std::chrono::milliseconds(20), end - SteadyClock::now()));
  }
}

StartUp LearnRobot(RawRpc& rpc, SampleQueue& queue, uint32_t& rpc_sequence) {
  StartUp startup;
  for (int i = 0; i < kProbes && !startup.probe_answered && !Stopped(); ++i) {
    const auto reply = Call(rpc, queue, static_cast<uint16_t>(tyr_impl::RequestKind::kPing), {},
                            tyr_impl::kPingTimeout, rpc_sequence);
    startup.probe_answered = reply && !reply->success;
    if (!startup.probe_answered) Nap(std::chrono::milliseconds(100));
  }
  if (!startup.probe_answered || Stopped()) return startup;
  const auto version = Call(rpc, queue, static_cast<uint16_t>(tyr_impl::RequestKind::kServerVersion),
                            {}, tyr_impl::kRequestTimeout, rpc_sequence);
  if (version && version->success && !version->string_container.empty()) {
    startup.server_version = version->string_container.front();
  }
  // The joint groups present: from the latest basic sample, as the client reads them.
  const auto wait_end = SteadyClock::now() + kFirstSampleWait;
  std::optional<std::vector<uint8_t>> first;
  while (!Stopped() && !(first = queue.LatestBasic()) && SteadyClock::now() < wait_end) {
    Nap(std::chrono::milliseconds(10));
  }
  std::vector<uint16_t> all_groups;
  for (const auto& [group, name] : tyr::kJointGroupNames) {
    if (static_cast<int32_t>(group) >= 0) all_groups.push_back(static_cast<uint16_t>(group));
  }
  const auto table =
      Call(rpc, queue, static_cast<uint16_t>(tyr_impl::RequestKind::kStartIdAndDof), all_groups,
           tyr_impl::kRequestTimeout, rpc_sequence);
  if (first && table && table->success && table->request_id == 10) {
    msgs::AllBasicStreamData basic;
    try {
      msgs::PayloadReader in(zenoh::ByteSpan{first->data(), first->size()});
      msgs::ReadWhole(in, basic);
      bool named = true;
      for (const uint16_t number : basic.joint_group_indices) {
        const auto group = static_cast<JointGroup>(number);
        auto it = tyr::kJointGroupNames.find(group);
        if (it == tyr::kJointGroupNames.end() || number > 5) {
          named = false;
          break;
        }
        startup.group_names.emplace(group, it->second);
      }
      startup.groups_known =
          named && tyr_impl::StartIdAndDofFromReply(table->joint_groups, table->int_container,
                                                    table->float_container, startup.start_ids,
                                                    startup.dofs)
                           .code == kKvnStateOk;
    } catch (const std::exception&) {
      startup.groups_known = false;
    }
  }
  return startup;
}

std::map<std::string, std::string> RecordingFacts(const Options& options,
                                                  const StartUp& startup, uint64_t started_ns) {
  std::map<std::string, std::string> facts{
      {"serial_number", options.serial},
      {"client_version", mdw::kClientVersion},
      {"recorder", std::string(kProg) + " " + KORVANTYR_VERSION},
      {"host", HostName()},
      {"started", Iso8601(started_ns)},
      {"rpc_rate_hz", Fixed(options.rpc_rate, 3)},
      {"server_version", startup.server_version},
      {"probe_answered", startup.probe_answered ? "true" : "false"},
      {"decoded_channels", options.raw_only ? "false" : (startup.groups_known ? "true" : "io")},
  };
  return facts;
}

std::map<std::string, std::string> GroupTable(const StartUp& startup) {
  std::map<std::string, std::string> table;
  std::string present;
  for (const auto& [group, name] : startup.group_names) {
    present += (present.empty() ? "" : ",") + name;
  }
  table["present"] = present;
  for (const auto& [group, start] : startup.start_ids) {
    auto name = tyr::kJointGroupNames.find(group);
    if (name == tyr::kJointGroupNames.end()) continue;
    table[name->second + ".start_index"] = std::to_string(start);
    auto dof = startup.dofs.find(group);
    if (dof != startup.dofs.end()) table[name->second + ".dof"] = std::to_string(dof->second);
  }
  return table;
}

// Polls plan info, primitive states and configuration scores until `done`.
void PollRemoteCalls(RawRpc& rpc, SampleQueue& queue, double rate, uint32_t& sequence,
                     const std::atomic<bool>& done) {
  const auto period = std::chrono::duration_cast<SteadyClock::duration>(
      std::chrono::duration<double>(1.0 / rate));
  auto next = SteadyClock::now();
  while (!done.load()) {
    for (const auto kind : {tyr_impl::RequestKind::kPlanInfo, tyr_impl::RequestKind::kPrimitiveStates,
                            tyr_impl::RequestKind::kManipulability}) {
      if (done.load()) return;
      Call(rpc, queue, static_cast<uint16_t>(kind), {}, tyr_impl::kRequestTimeout, sequence);
    }
    next = std::max(next + period, SteadyClock::now() - period);
    while (!done.load() && SteadyClock::now() < next) {
      std::this_thread::sleep_for(std::min<SteadyClock::duration>(std::chrono::milliseconds(20),
                                                                  next - SteadyClock::now()));
    }
  }
}

zenoh::Subscriber Subscribe(const zenoh::Session& session, const std::string& key, Source source,
                            SampleQueue& queue, StreamTally& tally) {
  return session.declare_subscriber(zenoh::KeyExpr(key), [source, &queue,
                                                          &tally](zenoh::BytesView payload) {
    const uint64_t received_ns = WallNs();
    const auto sequence = static_cast<uint32_t>(tally.received.fetch_add(1) + 1);
    if (const auto span = payload.contiguous()) {
      queue.PushCopy(source, sequence, received_ns, span->data, span->size);
      return;
    }
    Item item;
    item.received_ns = received_ns;
    item.source = source;
    item.sequence = sequence;
    item.bytes = payload.as_vector();
    queue.Push(std::move(item));
  });
}

int Record(const Options& options) {
  std::string serial;
  try {
    serial = tyr_impl::NormalizeSerialNumber(options.serial);
  } catch (const std::invalid_argument& e) {
    std::cerr << kProg << ": " << e.what() << '\n';
    return kExitFailed;
  }
  spdlog::set_level(spdlog::level::off);  // the library's own lines would break the summary
  InstallSignalHandlers();

  std::shared_ptr<zenoh::Session> session;
  try {
    session = mdw::AcquireSession();
  } catch (const std::exception& e) {
    std::cerr << kProg << ": cannot open a Zenoh session: " << e.what() << '\n';
    return kExitFailed;
  }

  // Subscribed first: the recording starts with the first sample, even while start-up runs.
  SampleQueue queue;
  StreamTally basic_received;  // the callbacks' counts: what arrived, queue losses included
  StreamTally extra_received;
  std::optional<zenoh::Subscriber> basic_subscriber(Subscribe(
      *session, mdw::RobotKey(serial, mdw::kBasicStreamSuffix), Source::kBasic, queue,
      basic_received));
  std::optional<zenoh::Subscriber> extra_subscriber(Subscribe(
      *session, mdw::RobotKey(serial, mdw::kExtraStreamSuffix), Source::kExtra, queue,
      extra_received));
  const uint64_t started_ns = WallNs();
  const auto started = SteadyClock::now();
  const uint64_t cpu_start = ProcessCpuNs();

  RawRpc rpc(session, mdw::RobotKey(serial, mdw::kRpcSuffix));
  uint32_t rpc_sequence = 0;
  const StartUp startup = LearnRobot(rpc, queue, rpc_sequence);
  if (Stopped() && !startup.probe_answered) return kExitInterrupted;
  if (!startup.probe_answered) {
    std::cerr << kProg << ": Failed to connect to [" << serial
              << "]: it did not answer the probe (3 tries); check that it is on and on this "
                 "computer's network (korvantyr-scan lists the robots it sees)\n";
    return kExitFailed;
  }
  if (!options.raw_only && !startup.groups_known) {
    std::cerr << kProg << ": warning: the robot's joint groups could not be learnt; only the raw "
                          "samples and /io are recorded\n";
  }

  std::unique_ptr<McapFile> file;
  std::unique_ptr<Writer> writer;
  try {
    const uint32_t level = options.compression == McapFile::Compression::kZstd ? kZstdLevel : 0;
    file = std::make_unique<McapFile>(options.output, kChunkSize, options.compression, level);
    file->WriteMetadata("korvantyr.recording", RecordingFacts(options, startup, started_ns));
    file->WriteMetadata("korvantyr.joint_groups", GroupTable(startup));
    writer = std::make_unique<Writer>(*file, startup, options.raw_only);
  } catch (const McapFileError& e) {
    std::cerr << kProg << ": cannot write " << options.output << ": " << e.what() << '\n';
    return kExitFailed;
  }
  std::thread writer_thread([&] { writer->Run(queue); });
  std::atomic<bool> polling_done{false};
  std::thread rpc_thread;
  if (options.rpc_rate > 0.0) {
    rpc_thread = std::thread(
        [&] { PollRemoteCalls(rpc, queue, options.rpc_rate, rpc_sequence, polling_done); });
  }
  const bool progress = !options.quiet && isatty(STDERR_FILENO) != 0;
  if (!progress && !options.quiet) {
    std::cerr << kProg << ": recording " << serial << " into " << options.output << std::endl;
  }

  auto last_progress = SteadyClock::now();
  while (!Stopped() && !writer->failed()) {
    const auto now = SteadyClock::now();
    const double elapsed = std::chrono::duration<double>(now - started).count();
    if (options.seconds && elapsed >= *options.seconds) break;
    if (progress && now - last_progress >= std::chrono::seconds(1)) {
      last_progress = now;
      std::cerr << "\r" << kProg << ": " << Fixed(elapsed, 0) << " s, basic "
                << basic_received.received.load() << ", extra " << extra_received.received.load()
                << " samples, " << Size(FileSize(options.output)) << "   " << std::flush;
    }
    auto nap = std::chrono::duration_cast<SteadyClock::duration>(std::chrono::milliseconds(20));
    if (options.seconds) {  // no later than the end asked for
      const auto end = started + std::chrono::duration_cast<SteadyClock::duration>(
                                     std::chrono::duration<double>(*options.seconds));
      nap = std::min(nap, end - now);
    }
    std::this_thread::sleep_for(nap);
  }
  if (progress) std::cerr << '\n';
  const double seconds = std::chrono::duration<double>(SteadyClock::now() - started).count();

  // Stop the sources first, then let the writer drain what they gave.
  basic_subscriber.reset();
  extra_subscriber.reset();
  polling_done.store(true);
  if (rpc_thread.joinable()) rpc_thread.join();
  queue.Close();
  writer_thread.join();
  writer->clock.Finish();
  const uint64_t cpu_ns = ProcessCpuNs() - cpu_start;

  const uint64_t lost_basic = queue.Lost(Source::kBasic);
  const uint64_t lost_extra = queue.Lost(Source::kExtra);
  const uint64_t lost_rpc = queue.Lost(Source::kRpc);
  std::string failure;
  if (writer->failed()) {
    failure = writer->error();
  } else {
    try {
      std::map<std::string, std::string> summary{
          {"basic_received", std::to_string(basic_received.received.load())},
          {"extra_received", std::to_string(extra_received.received.load())},
          {"basic_undecodable", std::to_string(writer->basic.undecodable.load())},
          {"extra_undecodable", std::to_string(writer->extra.undecodable.load())},
          {"basic_queue_lost", std::to_string(lost_basic)},
          {"extra_queue_lost", std::to_string(lost_extra)},
          {"rpc_queue_lost", std::to_string(lost_rpc)},
          {"robot_rate_hz", Fixed(writer->clock.Rate(), 3)},
          {"robot_time_gaps", std::to_string(writer->clock.gaps().size())},
          {"robot_longest_gap_s", Fixed(writer->clock.LongestGap(), 3)},
          {"seconds", Fixed(seconds, 3)},
          {"cpu_seconds", Fixed(static_cast<double>(cpu_ns) * 1e-9, 3)},
      };
      file->WriteMetadata("korvantyr.summary", summary);
      file->Finish();
    } catch (const McapFileError& e) {
      failure = e.what();
    }
  }
  file.reset();

  const auto& gaps = writer->clock.gaps();
  const double longest = writer->clock.LongestGap();
  if (failure.empty()) {
    std::cout << "recorded " << serial << " for " << Fixed(seconds, 1) << " s into "
              << options.output << " (" << Size(FileSize(options.output)) << ")\n";
  } else {
    // The counts are of samples taken in: those of the chunk being written when the file could
    // not be written any more are not in it.
    std::cout << "recording " << serial << " failed after " << Fixed(seconds, 1) << " s: "
              << options.output << " (" << Size(FileSize(options.output))
              << ") keeps the chunks finished before the failure; not every sample counted "
                 "below is in it\n";
  }
  std::cout << "  basic stream: " << writer->basic.written.load() << " samples ("
            << Fixed(writer->clock.Rate(), 1) << " Hz by the robot's time stamps), "
            << writer->basic.undecodable.load() << " undecodable, " << lost_basic
            << " lost in the queue\n"
            << "  extra stream: " << writer->extra.written.load() << " samples, "
            << writer->extra.undecodable.load() << " undecodable, " << lost_extra
            << " lost in the queue\n"
            << "  gaps in the robot's time stamps: " << gaps.size();
  if (!gaps.empty()) {
    std::cout << " (longest " << Fixed(longest, 3) << " s, first at " << Fixed(gaps[0].at_s, 3)
              << " s)";
  }
  if (writer->clock.backwards() > 0) {
    std::cout << ", " << writer->clock.backwards() << " steps back";
  }
  std::cout << "\n  remote-call answers: " << writer->replies.load() << " ("
            << writer->undecodable_replies.load() << " undecodable, " << lost_rpc
            << " lost in the queue)\n";
  if (writer->basic.unsegmented.load() + writer->extra.unsegmented.load() > 0) {
    std::cout << "  samples that did not fit the robot's joint groups (kept raw): basic "
              << writer->basic.unsegmented.load() << ", extra "
              << writer->extra.unsegmented.load() << '\n';
  }
  std::cout << "  recorder CPU: " << Fixed(static_cast<double>(cpu_ns) * 1e-9, 2) << " s"
            << std::endl;
  if (!failure.empty()) {
    std::cerr << kProg << ": cannot write " << options.output << ": " << failure
              << "; the file keeps what was written before (read it with korvantyr-record "
                 "recover)\n";
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace
}  // namespace korvan::record

int RecordMain(int argc, char** argv) {
  using namespace korvan::record;
  return korvan::tools::RunCommand(
      kProg, kHelp, kExitOk, kExitFailed, [&] { return ParseArguments(argc, argv); },
      [](const Options& options) { return Record(options); });
}
