// kvn-bench-floor: the floor of the ingest benchmark (bench/perf.py). Two subscriptions to one
// robot's data streams on the client's own Zenoh session and bridge, whose callbacks only count:
// what receiving the samples costs before anything is decoded.
//
//   kvn-bench-floor SERIAL
//
// Prints "READY" once both subscriptions are declared. Commands on stdin, one per line:
//   count   answered "basic RECEIVED extra RECEIVED cpu NANOSECONDS"
//   cpu     answered "cpu NANOSECONDS"
// where the CPU time is the whole process's (CLOCK_PROCESS_CPUTIME_ID), read after the counts.
// Anything else is answered "ERR <line>"; the end of stdin ends the program (exit 0).
// Threads: Zenoh's threads count (relaxed atomics), the main thread answers.

#include <time.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <iostream>
#include <memory>
#include <string>

#include "middleware/robot_keys.h"
#include "middleware/session.h"
#include "middleware/zenoh.h"

namespace {

namespace mdw = korvan::zenoh_mdw;

uint64_t ProcessCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

zenoh::Subscriber CountSamples(const zenoh::Session& session, const std::string& key,
                               std::atomic<uint64_t>& received) {
  return session.declare_subscriber(zenoh::KeyExpr(key), [&received](zenoh::BytesView) {
    received.fetch_add(1, std::memory_order_relaxed);
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: kvn-bench-floor SERIAL\n";
    return 2;
  }
  const std::string serial = argv[1];
  try {
    const std::shared_ptr<zenoh::Session> session = mdw::AcquireSession();
    std::atomic<uint64_t> basic{0};
    std::atomic<uint64_t> extra{0};
    zenoh::Subscriber basic_subscriber =
        CountSamples(*session, mdw::RobotKey(serial, mdw::kBasicStreamSuffix), basic);
    zenoh::Subscriber extra_subscriber =
        CountSamples(*session, mdw::RobotKey(serial, mdw::kExtraStreamSuffix), extra);
    std::cout << "READY" << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
      if (line == "count") {
        const uint64_t b = basic.load(std::memory_order_relaxed);
        const uint64_t e = extra.load(std::memory_order_relaxed);
        std::cout << "basic " << b << " extra " << e << " cpu " << ProcessCpuNs() << std::endl;
      } else if (line == "cpu") {
        std::cout << "cpu " << ProcessCpuNs() << std::endl;
      } else {
        std::cout << "ERR " << line << std::endl;
      }
    }
    basic_subscriber.undeclare();
    extra_subscriber.undeclare();
  } catch (const std::exception& error) {
    std::cerr << "kvn-bench-floor: " << error.what() << std::endl;
    return 1;
  }
  return 0;
}
