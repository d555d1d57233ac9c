// The simulated robot (the korvantyr_sim package of this checkout) run as a child process of a
// network test. The test thread owns it: the constructor starts the robot and waits for "READY";
// Command sends one control command on its stdin and waits for the "OK <command>" answer; the
// destructor stops the robot with SIGTERM and reaps it, killing it if it does not end in time.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace korvan::test {

class SimProcess {
 public:
  // Runs `python -m korvantyr_sim --serial SERIAL ARGS...`. Throws std::runtime_error if the robot
  // is not ready within `ready_within`.
  SimProcess(const std::string& serial, const std::vector<std::string>& args = {},
             std::chrono::milliseconds ready_within = std::chrono::seconds(30));
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // Sends a control command (see `python -m korvantyr_sim --help`) and waits until it has taken
  // effect. Throws std::runtime_error with the robot's answer unless it is "OK <command>".
  void Command(const std::string& command);

  const std::string& serial() const { return serial_; }

 private:
  // Stops and reaps the robot and closes the pipes; safe to call twice.
  void Stop();

  std::string serial_;
  ChildProcess child_;
};

}  // namespace korvan::test
