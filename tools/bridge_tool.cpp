// kvn-bridge-tool: exercises the Zenoh layer from the command line. Used as a scripted peer by
// the interoperability tests (encode/decode/sub/get/undeclare-stress) and as a live demo (watch).
// Everything goes to stdout, one item per line; usage errors go to stderr with exit code 2.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "messages/payload_reader.h"
#include "middleware/zenoh.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitDecodeError = 3;
constexpr int kExitSubscribeTimeout = 4;
constexpr int kExitStressFailure = 5;
constexpr int kExitReadersDisagree = 6;

constexpr auto kStressSampleLimit = std::chrono::seconds(10);
constexpr auto kStressQuietWatch = std::chrono::milliseconds(20);
// Zenoh ends every query by itself; this only bounds the wait should that ever fail.
constexpr auto kCompletionGrace = std::chrono::seconds(30);
constexpr uint64_t kZenohDefaultQueryTimeoutMs = 10000;

constexpr const char* kUsage =
    "usage:\n"
    "  kvn-bridge-tool encode TOKENS...\n"
    "  kvn-bridge-tool decode HEX TYPES...\n"
    "  kvn-bridge-tool sub KEY COUNT TIMEOUT_S\n"
    "  kvn-bridge-tool get KEY HEX TIMEOUT_MS\n"
    "  kvn-bridge-tool undeclare-stress KEY ITERATIONS\n"
    "  kvn-bridge-tool watch SERIAL SECONDS\n"
    "tokens: bool:0|1 i16:N u16:N i32:N u32:N f32:X f32x:HHHHHHHH str:HEX len:N\n"
    "types:  bool i16 u16 i32 u32 f32 str len\n";

// A malformed command line; main prints the message and the usage.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string ToHex(const std::vector<uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (uint8_t byte : bytes) {
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 0x0f]);
  }
  return hex;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<uint8_t> FromHex(std::string_view hex) {
  if (hex.size() % 2 != 0) {
    throw UsageError("odd number of hex digits: '" + std::string(hex) + "'");
  }
  std::vector<uint8_t> bytes;
  bytes.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    int high = HexDigit(hex[i]);
    int low = HexDigit(hex[i + 1]);
    if (high < 0 || low < 0) {
      throw UsageError("not a hex string: '" + std::string(hex) + "'");
    }
    bytes.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return bytes;
}

int64_t ParseSigned(std::string_view text, int64_t min, int64_t max) {
  std::string copy(text);
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(copy.c_str(), &end, 10);
  if (copy.empty() || *end != '\0' || errno == ERANGE || value < min || value > max) {
    throw UsageError("not an integer in [" + std::to_string(min) + ", " + std::to_string(max) +
                     "]: '" + copy + "'");
  }
  return value;
}

uint64_t ParseUnsigned(std::string_view text, uint64_t max) {
  std::string copy(text);
  char* end = nullptr;
  errno = 0;
  // strtoull accepts a sign and wraps negative numbers around: only digits are allowed here.
  bool digits_only = !copy.empty() && copy.find_first_not_of("0123456789") == std::string::npos;
  unsigned long long value = std::strtoull(copy.c_str(), &end, 10);
  if (!digits_only || *end != '\0' || errno == ERANGE || value > max) {
    throw UsageError("not an unsigned integer up to " + std::to_string(max) + ": '" + copy + "'");
  }
  return value;
}

double ParseSeconds(std::string_view text) {
  std::string copy(text);
  char* end = nullptr;
  double value = std::strtod(copy.c_str(), &end);
  if (copy.empty() || *end != '\0' || !(value >= 0.0) || value > 1e6) {
    throw UsageError("not a duration in seconds: '" + copy + "'");
  }
  return value;
}

float FloatFromBits(uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

uint32_t BitsOfFloat(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

std::string BitsToHex(uint32_t bits) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", bits);
  return text;
}

// ---- encode / decode ---------------------------------------------------------------------------

void EncodeToken(zenoh::Serializer& serializer, std::string_view token) {
  size_t colon = token.find(':');
  if (colon == std::string_view::npos) {
    throw UsageError("token without ':': '" + std::string(token) + "'");
  }
  std::string_view type = token.substr(0, colon);
  std::string_view value = token.substr(colon + 1);
  if (type == "bool") {
    if (value != "0" && value != "1") throw UsageError("bool takes 0 or 1");
    serializer.serialize(value == "1");
  } else if (type == "i16") {
    serializer.serialize(static_cast<int16_t>(ParseSigned(value, INT16_MIN, INT16_MAX)));
  } else if (type == "u16") {
    serializer.serialize(static_cast<uint16_t>(ParseUnsigned(value, UINT16_MAX)));
  } else if (type == "i32") {
    serializer.serialize(static_cast<int32_t>(ParseSigned(value, INT32_MIN, INT32_MAX)));
  } else if (type == "u32") {
    serializer.serialize(static_cast<uint32_t>(ParseUnsigned(value, UINT32_MAX)));
  } else if (type == "f32") {
    std::string copy(value);
    char* end = nullptr;
    float parsed = std::strtof(copy.c_str(), &end);
    if (copy.empty() || *end != '\0') throw UsageError("not a float: '" + copy + "'");
    serializer.serialize(parsed);
  } else if (type == "f32x") {
    if (value.size() != 8) throw UsageError("f32x takes exactly 8 hex digits");
    std::vector<uint8_t> bytes = FromHex(value);
    uint32_t bits = uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 |
                    uint32_t{bytes[3]};
    serializer.serialize(FloatFromBits(bits));
  } else if (type == "str") {
    std::vector<uint8_t> bytes = FromHex(value);
    serializer.serialize(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  } else if (type == "len") {
    serializer.serialize_sequence_length(
        static_cast<size_t>(ParseUnsigned(value, std::numeric_limits<size_t>::max())));
  } else {
    throw UsageError("unknown token type: '" + std::string(type) + "'");
  }
}

int Encode(const std::vector<std::string_view>& tokens) {
  zenoh::Serializer serializer;
  for (std::string_view token : tokens) {
    EncodeToken(serializer, token);
  }
  std::cout << ToHex(serializer.finish().as_vector()) << '\n';
  return kExitOk;
}

template <class Reader>
std::string DecodeOne(Reader& reader, std::string_view type) {
  if (type == "bool") return reader.deserialize_bool() ? "bool:1" : "bool:0";
  if (type == "i16") return "i16:" + std::to_string(reader.deserialize_int16());
  if (type == "u16") return "u16:" + std::to_string(reader.deserialize_uint16());
  if (type == "i32") return "i32:" + std::to_string(reader.deserialize_int32());
  if (type == "u32") return "u32:" + std::to_string(reader.deserialize_uint32());
  if (type == "f32") return "f32x:" + BitsToHex(BitsOfFloat(reader.deserialize_float()));
  if (type == "len") return "len:" + std::to_string(reader.deserialize_sequence_length());
  std::string text = reader.deserialize_string();
  return "str:" + ToHex(std::vector<uint8_t>(text.begin(), text.end()));
}

struct Decoded {
  std::string output;  // what decode prints
  std::string error;   // the failing read's message, empty when every read succeeded
  int exit_code = kExitOk;
};

template <class Reader>
Decoded DecodeWith(Reader& reader, const std::vector<std::string_view>& types) {
  std::string line;
  for (size_t index = 0; index < types.size(); ++index) {
    try {
      if (index > 0) line.push_back(' ');
      line += DecodeOne(reader, types[index]);
    } catch (const zenoh::ZException& e) {
      return {"error:" + std::to_string(e.code()) + " at:" + std::to_string(index) + "\n", e.what(),
              kExitDecodeError};
    }
  }
  return {line + "\ndone:" + (reader.is_done() ? "1" : "0") +
              "\nleft:" + std::to_string(reader.bytes_left()) + "\n",
          "", kExitOk};
}

// Both of the client's readers read the payload: the bridge's and the one over contiguous bytes
// that the client uses for whole messages. They must agree to the last byte and message.
int Decode(std::string_view hex, const std::vector<std::string_view>& types) {
  static const std::vector<std::string_view> kTypes = {"bool", "i16", "u16", "i32",
                                                       "u32",  "f32", "str", "len"};
  for (std::string_view type : types) {
    if (std::find(kTypes.begin(), kTypes.end(), type) == kTypes.end()) {
      throw UsageError("unknown type: '" + std::string(type) + "'");
    }
  }
  const std::vector<uint8_t> bytes = FromHex(hex);
  const zenoh::Bytes payload(bytes);
  zenoh::Deserializer bridge_reader(payload);
  const Decoded by_bridge = DecodeWith(bridge_reader, types);
  korvan::zenoh_msgs::tyr_msg::PayloadReader contiguous_reader({bytes.data(), bytes.size()});
  const Decoded by_contiguous = DecodeWith(contiguous_reader, types);
  if (by_bridge.output != by_contiguous.output || by_bridge.error != by_contiguous.error) {
    std::cerr << "the readers disagree:\nbridge:     " << by_bridge.output << by_bridge.error
              << "\ncontiguous: " << by_contiguous.output << by_contiguous.error << '\n';
    return kExitReadersDisagree;
  }
  std::cout << by_bridge.output;
  return by_bridge.exit_code;
}

// ---- sub ---------------------------------------------------------------------------------------

int Subscribe(std::string_view key, uint64_t count, double timeout_s) {
  struct Received {
    std::mutex mutex;  // guards samples
    std::condition_variable arrived;
    std::vector<std::string> samples;
  };
  auto received = std::make_shared<Received>();
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(timeout_s));

  zenoh::Session session = zenoh::Session::open();
  zenoh::KeyExpr key_expr(key);
  zenoh::Subscriber subscriber =
      session.declare_subscriber(key_expr, [received](zenoh::BytesView payload) {
        std::string hex = ToHex(payload.as_vector());
        std::lock_guard<std::mutex> lock(received->mutex);
        received->samples.push_back(std::move(hex));
        received->arrived.notify_all();
      });

  uint64_t printed = 0;
  std::unique_lock<std::mutex> lock(received->mutex);
  while (printed < count) {
    bool more = received->arrived.wait_until(lock, deadline,
                                             [&] { return received->samples.size() > printed; });
    while (printed < count && printed < received->samples.size()) {
      std::cout << "sample " << received->samples[printed++] << '\n';
    }
    std::cout.flush();
    if (!more) break;
  }
  lock.unlock();
  subscriber.undeclare();
  return printed >= count ? kExitOk : kExitSubscribeTimeout;
}

// ---- get ---------------------------------------------------------------------------------------

int Get(std::string_view key, std::string_view hex, uint64_t timeout_ms) {
  struct Query {
    std::mutex mutex;  // guards replies, done, done_at
    std::condition_variable finished;
    std::vector<std::string> replies;
    bool done = false;
    Clock::time_point done_at;
  };
  auto query = std::make_shared<Query>();

  zenoh::GetOptions options;
  options.target = zenoh::QueryTarget::kBestMatching;
  options.consolidation = zenoh::ConsolidationMode::kAuto;
  options.priority = zenoh::Priority::kData;
  options.congestion_control = zenoh::CongestionControl::kBlock;
  options.is_express = false;
  options.timeout_ms = timeout_ms;
  options.payload.emplace(FromHex(hex));
  options.encoding = zenoh::Encoding::kZenohSerialized;

  zenoh::Session session = zenoh::Session::open();
  zenoh::KeyExpr key_expr(key);
  Clock::time_point issued = Clock::now();
  session.get(
      key_expr, "",
      [query](bool is_ok, zenoh::BytesView payload) {
        std::string line = (is_ok ? "reply ok " : "reply err ") + ToHex(payload.as_vector());
        std::lock_guard<std::mutex> lock(query->mutex);
        query->replies.push_back(std::move(line));
      },
      [query] {
        std::lock_guard<std::mutex> lock(query->mutex);
        query->done = true;
        query->done_at = Clock::now();
        query->finished.notify_all();
      },
      std::move(options));

  uint64_t limit_ms = timeout_ms != 0 ? timeout_ms : kZenohDefaultQueryTimeoutMs;
  std::unique_lock<std::mutex> lock(query->mutex);
  if (!query->finished.wait_for(lock, std::chrono::milliseconds(limit_ms) + kCompletionGrace,
                                [&] { return query->done; })) {
    std::cerr << "the query never completed\n";
    return kExitFailure;
  }
  for (const std::string& line : query->replies) {
    std::cout << line << '\n';
  }
  auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(query->done_at - issued).count();
  std::cout << "done " << elapsed << '\n';
  return kExitOk;
}

// ---- undeclare-stress --------------------------------------------------------------------------

int UndeclareStress(std::string_view key, uint64_t iterations) {
  // Shared by the test loop and one subscription's callbacks.
  struct Watch {
    std::mutex mutex;  // guards nothing but the wake-up below
    std::condition_variable first_sample;
    std::atomic<uint64_t> samples{0};
    std::atomic<int> running{0};
    std::atomic<int> drops{0};
    std::atomic<uint64_t> calls_after_drop{0};
  };
  auto fail = [](const std::string& reason) {
    std::cout << "FAIL " << reason << '\n';
    return kExitStressFailure;
  };

  zenoh::Session session = zenoh::Session::open();
  zenoh::KeyExpr key_expr(key);
  for (uint64_t iteration = 0; iteration < iterations; ++iteration) {
    auto watch = std::make_shared<Watch>();
    std::string where = " (iteration " + std::to_string(iteration) + ")";
    {
      zenoh::Subscriber subscriber = session.declare_subscriber(
          key_expr,
          [watch](zenoh::BytesView) {
            watch->running.fetch_add(1);
            if (watch->drops.load() != 0) watch->calls_after_drop.fetch_add(1);
            if (watch->samples.fetch_add(1) == 0) {
              std::lock_guard<std::mutex> lock(watch->mutex);
              watch->first_sample.notify_all();
            }
            watch->running.fetch_sub(1);
          },
          [watch] { watch->drops.fetch_add(1); });
      std::unique_lock<std::mutex> lock(watch->mutex);
      if (!watch->first_sample.wait_for(lock, kStressSampleLimit,
                                        [&] { return watch->samples.load() > 0; })) {
        return fail("no sample within 10 s" + where);
      }
      lock.unlock();
      subscriber.undeclare();
    }
    if (watch->running.load() != 0) return fail("callback still running after undeclare" + where);
    if (watch->drops.load() != 1) {
      return fail("drop ran " + std::to_string(watch->drops.load()) + " times by undeclare" +
                  where);
    }
    uint64_t seen = watch->samples.load();
    std::this_thread::sleep_for(kStressQuietWatch);
    if (watch->samples.load() != seen || watch->calls_after_drop.load() != 0) {
      return fail("callback ran after undeclare" + where);
    }
  }
  std::cout << "ok " << iterations << '\n';
  return kExitOk;
}

// ---- watch -------------------------------------------------------------------------------------

int Watch(std::string_view serial, double seconds) {
  struct Stream {
    std::atomic<uint64_t> samples{0};
    std::atomic<uint64_t> last_size{0};
  };
  struct Rpc {
    std::mutex mutex;  // guards lines, done
    std::vector<std::string> lines;
    bool done = false;
  };
  auto basic = std::make_shared<Stream>();
  auto extra = std::make_shared<Stream>();
  auto rpc = std::make_shared<Rpc>();
  std::string prefix = "korvan/robot/" + std::string(serial);

  zenoh::Session session = zenoh::Session::open();
  auto count = [](std::shared_ptr<Stream> stream) {
    return [stream](zenoh::BytesView payload) {
      stream->samples.fetch_add(1);
      stream->last_size.store(payload.size());
    };
  };
  zenoh::Subscriber basic_subscriber =
      session.declare_subscriber(zenoh::KeyExpr(prefix + "/basic_stream_data"), count(basic));
  zenoh::Subscriber extra_subscriber =
      session.declare_subscriber(zenoh::KeyExpr(prefix + "/extra_stream_data"), count(extra));

  // Routes to a peer that has just started take a moment to settle: ask once its data flows.
  auto data_deadline = Clock::now() + std::chrono::seconds(3);
  while (basic->samples.load() == 0 && Clock::now() < data_deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  // Procedure 1: request id 1 and no joint groups.
  zenoh::Serializer request;
  request.serialize(uint16_t{1});
  request.serialize_sequence_length(0);
  zenoh::GetOptions options;
  options.payload.emplace(request.finish());
  options.encoding = zenoh::Encoding::kZenohSerialized;
  options.timeout_ms = 2000;
  session.get(
      zenoh::KeyExpr(prefix + "/rpc"), "",
      [rpc](bool is_ok, zenoh::BytesView payload) {
        std::string line = std::string(is_ok ? "ok " : "err ") + std::to_string(payload.size()) +
                           " bytes " + ToHex(payload.as_vector());
        std::lock_guard<std::mutex> lock(rpc->mutex);
        rpc->lines.push_back(std::move(line));
      },
      [rpc] {
        std::lock_guard<std::mutex> lock(rpc->mutex);
        rpc->done = true;
      },
      std::move(options));

  std::cout << "watching " << prefix << " for " << seconds << " s\n";
  bool rpc_printed = false;
  auto start = Clock::now();
  auto end =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  uint64_t basic_before = 0;
  uint64_t extra_before = 0;
  auto interval_start = start;
  for (int second = 1; Clock::now() < end; ++second) {
    std::this_thread::sleep_until(std::min(end, start + std::chrono::seconds(second)));
    auto now = Clock::now();
    double interval = std::chrono::duration<double>(now - interval_start).count();
    interval_start = now;
    uint64_t basic_now = basic->samples.load();
    uint64_t extra_now = extra->samples.load();
    auto rate = [interval](uint64_t count) {
      return interval > 0 ? static_cast<uint64_t>(count / interval + 0.5) : count;
    };
    std::cout << "[" << second << " s] basic_stream_data: " << rate(basic_now - basic_before)
              << " samples/s, " << basic->last_size.load()
              << " bytes | extra_stream_data: " << rate(extra_now - extra_before) << " samples/s, "
              << extra->last_size.load() << " bytes\n";
    basic_before = basic_now;
    extra_before = extra_now;
    std::lock_guard<std::mutex> lock(rpc->mutex);
    if (rpc->done && !rpc_printed) {
      rpc_printed = true;
      if (rpc->lines.empty()) std::cout << "rpc procedure 1: no reply\n";
      for (const std::string& line : rpc->lines)
        std::cout << "rpc procedure 1 reply " << line << '\n';
    }
    std::cout.flush();
  }
  return kExitOk;
}

int Run(const std::vector<std::string_view>& args) {
  if (args.empty()) throw UsageError("no command");
  std::string_view command = args[0];
  std::vector<std::string_view> rest(args.begin() + 1, args.end());
  auto need = [&](size_t n) {
    if (rest.size() != n) {
      throw UsageError(std::string(command) + " takes " + std::to_string(n) + " arguments");
    }
  };
  if (command == "encode") return Encode(rest);
  if (command == "decode") {
    if (rest.empty()) throw UsageError("decode needs a payload");
    return Decode(rest[0], std::vector<std::string_view>(rest.begin() + 1, rest.end()));
  }
  if (command == "sub") {
    need(3);
    return Subscribe(rest[0], ParseUnsigned(rest[1], UINT32_MAX), ParseSeconds(rest[2]));
  }
  if (command == "get") {
    need(3);
    return Get(rest[0], rest[1], ParseUnsigned(rest[2], UINT32_MAX));
  }
  if (command == "undeclare-stress") {
    need(2);
    return UndeclareStress(rest[0], ParseUnsigned(rest[1], UINT32_MAX));
  }
  if (command == "watch") {
    need(2);
    return Watch(rest[0], ParseSeconds(rest[1]));
  }
  throw UsageError("unknown command: '" + std::string(command) + "'");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  try {
    return Run(args);
  } catch (const UsageError& e) {
    std::cerr << "kvn-bridge-tool: " << e.what() << '\n' << kUsage;
    return kExitUsage;
  } catch (const std::exception& e) {
    std::cerr << "kvn-bridge-tool: " << e.what() << '\n';
    return kExitFailure;
  }
}
