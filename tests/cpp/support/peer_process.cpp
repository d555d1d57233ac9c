#include "support/peer_process.h"

#include <stdexcept>

namespace korvan::test {

namespace {

#if defined(KORVANTYR_SOURCE_DIR) && defined(KORVANTYR_PYTHON)
constexpr const char* kPeerScript = KORVANTYR_SOURCE_DIR "/tests/cpp/support/zenoh_peer.py";
constexpr const char* kPython = KORVANTYR_PYTHON;
#else
#error "the test build defines KORVANTYR_SOURCE_DIR and KORVANTYR_PYTHON"
#endif

std::vector<std::string> PeerCommand(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {kPython, "-u", kPeerScript};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

}  // namespace

PeerProcess::PeerProcess(const std::vector<std::string>& args,
                         std::chrono::milliseconds ready_within)
    : child_(PeerCommand(args)) {
  std::optional<std::string> line = ReadLine(ready_within);
  if (!line || *line != "ready") {
    throw std::runtime_error("the Zenoh peer did not get ready: " + line.value_or("(no output)"));
  }
}

// Closing its stdin ends the peer.
PeerProcess::~PeerProcess() { child_.Stop(false, std::chrono::seconds(5)); }

std::optional<std::string> PeerProcess::ReadLine(std::chrono::milliseconds within) {
  return child_.ReadLine(within);
}

void PeerProcess::WriteLine(const std::string& line) {
  if (!child_.WriteLine(line)) throw std::runtime_error("the Zenoh peer no longer reads its input");
}

}  // namespace korvan::test
