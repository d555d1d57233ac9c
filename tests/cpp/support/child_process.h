// A child process whose stdin and stdout are pipes to the test, for the scripted peers of the
// network tests. The test thread owns it: ReadLine waits for the child's next stdout line with a
// deadline, WriteLine sends it one line, Stop (or the destructor) closes its stdin, waits for it to
// end and kills it if it does not end in time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace korvan::test {

class ChildProcess {
 public:
  // Runs argv[0] (a path) with `argv`, in `env` if given, else in the test's environment. Throws
  // std::runtime_error if the pipes or the process cannot be made.
  explicit ChildProcess(std::vector<std::string> argv,
                        std::optional<std::vector<std::string>> env = std::nullopt);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The next line the child printed, or nothing if none came within `within` or it has ended.
  std::optional<std::string> ReadLine(std::chrono::milliseconds within);

  // Sends one line (without its newline); false if the child can no longer read it.
  bool WriteLine(const std::string& line);

  // Closes the child's stdin, sends it SIGTERM if `terminate`, waits up to `grace` for it to end,
  // then kills it; reaps it and closes the pipes. Safe to call twice.
  void Stop(bool terminate, std::chrono::milliseconds grace);

 private:
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  std::string buffered_;
};

}  // namespace korvan::test
