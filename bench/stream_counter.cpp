// kvn-stream-counter: counts the samples of one robot's two data streams and how many of them
// decode whole with the client's own decoder. The client drops a sample that does not decode
// without a trace, so the soak and fault drivers (bench/soak.py, bench/faults.py) run this beside
// the client under test: the same bytes, the same Zenoh bridge, the same Decode<T>.
//
//   kvn-stream-counter SERIAL
//
// Prints "READY" once both subscriptions are declared. Every line "count" on stdin is answered
// with one line "basic RECEIVED DECODED extra RECEIVED DECODED"; the end of stdin ends the program
// (exit 0). The first payloads of each stream that fail to decode go to stderr in hex.
// Threads: Zenoh's threads count (atomics; stderr under its own mutex), the main thread answers.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "messages/codec.h"
#include "messages/stream_messages.h"
#include "middleware/robot_keys.h"
#include "middleware/session.h"
#include "middleware/zenoh.h"

namespace {

namespace msgs = korvan::zenoh_msgs::tyr_msg;
namespace mdw = korvan::zenoh_mdw;

constexpr int kReportedFailures = 3;  // per stream

std::mutex stderr_mutex;  // guards std::cerr between Zenoh's threads

struct Count {
  std::atomic<uint64_t> received{0};
  std::atomic<uint64_t> decoded{0};
  std::atomic<int> reported{0};  // failures written to stderr
};

template <class T>
zenoh::Subscriber CountSamples(const zenoh::Session& session, const std::string& key,
                               const char* name, Count& count) {
  return session.declare_subscriber(
      zenoh::KeyExpr(key), [&count, name](zenoh::BytesView payload) {
        const uint64_t number = count.received.fetch_add(1) + 1;
        try {
          msgs::Decode<T>(payload);
          count.decoded.fetch_add(1);
          return;
        } catch (const std::exception& error) {
          if (count.reported.fetch_add(1) >= kReportedFailures) return;
          static constexpr char kDigits[] = "0123456789abcdef";
          std::string hex;
          for (uint8_t byte : payload.as_vector()) {
            hex.push_back(kDigits[byte >> 4]);
            hex.push_back(kDigits[byte & 0x0f]);
          }
          std::lock_guard<std::mutex> lock(stderr_mutex);
          std::cerr << name << " sample " << number << " does not decode (" << error.what()
                    << "): " << hex << std::endl;
        }
      });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: kvn-stream-counter SERIAL\n";
    return 2;
  }
  const std::string serial = argv[1];
  try {
    const std::shared_ptr<zenoh::Session> session = mdw::AcquireSession();
    Count basic;
    Count extra;
    zenoh::Subscriber basic_subscriber = CountSamples<msgs::AllBasicStreamData>(
        *session, mdw::RobotKey(serial, mdw::kBasicStreamSuffix), "basic", basic);
    zenoh::Subscriber extra_subscriber = CountSamples<msgs::AllExtraStreamData>(
        *session, mdw::RobotKey(serial, mdw::kExtraStreamSuffix), "extra", extra);
    std::cout << "READY" << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
      if (line != "count") {
        std::cout << "ERR " << line << std::endl;
        continue;
      }
      // Decoded is read first: a sample counted in between shows as received, never the reverse.
      const uint64_t basic_decoded = basic.decoded.load();
      const uint64_t basic_received = basic.received.load();
      const uint64_t extra_decoded = extra.decoded.load();
      const uint64_t extra_received = extra.received.load();
      std::cout << "basic " << basic_received << " " << basic_decoded << " extra "
                << extra_received << " " << extra_decoded << std::endl;
    }
    basic_subscriber.undeclare();
    extra_subscriber.undeclare();
  } catch (const std::exception& error) {
    std::cerr << "kvn-stream-counter: " << error.what() << std::endl;
    return 1;
  }
  return 0;
}
