#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>

namespace korvan::test {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv,
                           std::optional<std::vector<std::string>> env) {
  int to_child[2];
  int from_child[2];
  if (pipe2(to_child, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipe2(from_child, O_CLOEXEC) != 0) {
    close(to_child[0]);
    close(to_child[1]);
    throw std::runtime_error("pipe failed");
  }
  // Built before fork: the child may only call async-signal-safe functions.
  std::vector<char*> argv_pointers = Pointers(argv);
  std::vector<char*> env_pointers;
  if (env) env_pointers = Pointers(*env);

  pid_ = fork();
  if (pid_ == 0) {
    dup2(to_child[0], STDIN_FILENO);
    dup2(from_child[1], STDOUT_FILENO);
    if (env) {
      execve(argv_pointers[0], argv_pointers.data(), env_pointers.data());
    } else {
      execv(argv_pointers[0], argv_pointers.data());
    }
    _exit(127);
  }
  close(to_child[0]);
  close(from_child[1]);
  stdin_fd_ = to_child[1];
  stdout_fd_ = from_child[0];
  if (pid_ < 0) {
    close(stdin_fd_);
    close(stdout_fd_);
    throw std::runtime_error("fork failed");
  }
}

ChildProcess::~ChildProcess() { Stop(false, std::chrono::seconds(5)); }

void ChildProcess::Stop(bool terminate, std::chrono::milliseconds grace) {
  if (stdin_fd_ >= 0) close(stdin_fd_);
  stdin_fd_ = -1;
  if (pid_ > 0) {
    if (terminate) kill(pid_, SIGTERM);
    const Clock::time_point deadline = Clock::now() + grace;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
  }
  if (stdout_fd_ >= 0) close(stdout_fd_);
  stdout_fd_ = -1;
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds within) {
  const Clock::time_point deadline = Clock::now() + within;
  while (true) {
    size_t newline = buffered_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffered_.substr(0, newline);
      buffered_.erase(0, newline + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd fd{stdout_fd_, POLLIN, 0};
    int ready = poll(&fd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    char chunk[512];
    ssize_t got = read(stdout_fd_, chunk, sizeof chunk);
    if (got <= 0) return std::nullopt;  // the child has ended
    buffered_.append(chunk, static_cast<size_t>(got));
  }
}

bool ChildProcess::WriteLine(const std::string& line) {
  const std::string text = line + "\n";
  size_t written = 0;
  while (written < text.size()) {
    ssize_t done = write(stdin_fd_, text.data() + written, text.size() - written);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    written += static_cast<size_t>(done);
  }
  return true;
}

}  // namespace korvan::test
