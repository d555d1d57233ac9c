#include "support/peer_process.h"

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

#if defined(KORVANTYR_SOURCE_DIR) && defined(KORVANTYR_PYTHON)
constexpr const char* kPeerScript = KORVANTYR_SOURCE_DIR "/tests/cpp/support/zenoh_peer.py";
constexpr const char* kPython = KORVANTYR_PYTHON;
#else
#error "the test build defines KORVANTYR_SOURCE_DIR and KORVANTYR_PYTHON"
#endif

}  // namespace

PeerProcess::PeerProcess(const std::vector<std::string>& args,
                         std::chrono::milliseconds ready_within) {
  int to_child[2];
  int from_child[2];
  if (pipe2(to_child, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipe2(from_child, O_CLOEXEC) != 0) {
    close(to_child[0]);
    close(to_child[1]);
    throw std::runtime_error("pipe failed");
  }
  std::vector<std::string> argv_text = {kPython, "-u", kPeerScript};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argv_text) argv.push_back(arg.data());
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ == 0) {
    dup2(to_child[0], STDIN_FILENO);
    dup2(from_child[1], STDOUT_FILENO);
    execv(argv[0], argv.data());
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
  if (!line || *line != "ready") {
    throw std::runtime_error("the Zenoh peer did not get ready: " + line.value_or("(no output)"));
  }
}

PeerProcess::~PeerProcess() {
  if (stdin_fd_ >= 0) close(stdin_fd_);
  if (pid_ > 0) {
    auto deadline = Clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  if (stdout_fd_ >= 0) close(stdout_fd_);
}

std::optional<std::string> PeerProcess::ReadLine(std::chrono::milliseconds within) {
  auto deadline = Clock::now() + within;
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
    if (got <= 0) return std::nullopt;  // the peer has ended
    buffered_.append(chunk, static_cast<size_t>(got));
  }
}

void PeerProcess::WriteLine(const std::string& line) {
  const std::string text = line + "\n";
  size_t written = 0;
  while (written < text.size()) {
    ssize_t done = write(stdin_fd_, text.data() + written, text.size() - written);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) throw std::runtime_error("the Zenoh peer no longer reads its input");
    written += static_cast<size_t>(done);
  }
}

}  // namespace korvan::test
