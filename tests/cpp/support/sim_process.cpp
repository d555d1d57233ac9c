#include "support/sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace korvan::test {

namespace {

using Clock = std::chrono::steady_clock;

#if defined(KORVANTYR_SOURCE_DIR) && defined(KORVANTYR_PYTHON)
constexpr const char* kSimDir = KORVANTYR_SOURCE_DIR "/sim";
constexpr const char* kPython = KORVANTYR_PYTHON;
#else
#error "the test build defines KORVANTYR_SOURCE_DIR and KORVANTYR_PYTHON"
#endif

// The test's environment with the checkout's simulator first on the module path.
std::vector<std::string> SimEnvironment() {
  std::vector<std::string> env;
  std::string python_path = std::string("PYTHONPATH=") + kSimDir;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "PYTHONPATH=", 11) == 0) {
      if ((*entry)[11] != '\0') python_path += std::string(":") + (*entry + 11);
    } else {
      env.emplace_back(*entry);
    }
  }
  env.push_back(python_path);
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

SimProcess::SimProcess(const std::string& serial, const std::vector<std::string>& args,
                       std::chrono::milliseconds ready_within)
    : serial_(serial) {
  int to_child[2];
  int from_child[2];
  if (pipe2(to_child, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipe2(from_child, O_CLOEXEC) != 0) {
    close(to_child[0]);
    close(to_child[1]);
    throw std::runtime_error("pipe failed");
  }
  std::vector<std::string> argv_text = {kPython, "-u", "-m", "korvantyr_sim", "--serial", serial};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<std::string> env_text = SimEnvironment();
  std::vector<char*> argv = Pointers(argv_text);
  std::vector<char*> envp = Pointers(env_text);

  pid_ = fork();
  if (pid_ == 0) {
    dup2(to_child[0], STDIN_FILENO);
    dup2(from_child[1], STDOUT_FILENO);
    execve(argv[0], argv.data(), envp.data());
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
  std::optional<std::string> line = ReadLine(ready_within);
  if (!line || *line != "READY") {
    Stop();  // no destructor runs for an object whose constructor throws
    throw std::runtime_error("the simulated robot did not get ready: " +
                             line.value_or("(no output)"));
  }
}

SimProcess::~SimProcess() { Stop(); }

void SimProcess::Stop() {
  if (stdin_fd_ >= 0) close(stdin_fd_);
  stdin_fd_ = -1;
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
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

void SimProcess::Command(const std::string& command) {
  const std::string text = command + "\n";
  size_t written = 0;
  while (written < text.size()) {
    ssize_t done = write(stdin_fd_, text.data() + written, text.size() - written);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) throw std::runtime_error("the simulated robot no longer reads commands");
    written += static_cast<size_t>(done);
  }
  std::optional<std::string> answer = ReadLine(std::chrono::seconds(10));
  if (!answer || *answer != "OK " + command) {
    throw std::runtime_error("command '" + command +
                             "' answered with: " + answer.value_or("(nothing)"));
  }
}

std::optional<std::string> SimProcess::ReadLine(std::chrono::milliseconds within) {
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
    if (got <= 0) return std::nullopt;  // the robot has ended
    buffered_.append(chunk, static_cast<size_t>(got));
  }
}

}  // namespace korvan::test
