// A scripted Zenoh peer (tests/cpp/support/zenoh_peer.py) run as a child process of a network
// test. The test thread owns it: the constructor starts the peer and waits for its "ready" line,
// ReadLine waits for its next stdout line with a deadline, WriteLine sends it a command line
// (see zenoh_peer.py), the destructor closes the peer's stdin (which ends it) and reaps it,
// killing it if it does not end within a few seconds.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace korvan::test {

class PeerProcess {
 public:
  // Arguments as zenoh_peer.py takes them. Throws std::runtime_error if the peer does not get
  // ready within `ready_within`.
  explicit PeerProcess(const std::vector<std::string>& args,
                       std::chrono::milliseconds ready_within = std::chrono::seconds(20));
  ~PeerProcess();
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // The next line the peer printed, or nothing if none came within `within`.
  std::optional<std::string> ReadLine(std::chrono::milliseconds within);

  // Sends one line (without its newline) to the peer's stdin. Throws std::runtime_error if the
  // peer can no longer read it.
  void WriteLine(const std::string& line);

 private:
  ChildProcess child_;
};

}  // namespace korvan::test
