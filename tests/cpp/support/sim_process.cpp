#include "support/sim_process.h"

#include <cstring>
#include <stdexcept>

extern char** environ;

namespace korvan::test {

namespace {

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

std::vector<std::string> SimCommand(const std::string& serial,
                                    const std::vector<std::string>& args) {
  std::vector<std::string> argv = {kPython, "-u", "-m", "korvantyr_sim", "--serial", serial};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

}  // namespace

SimProcess::SimProcess(const std::string& serial, const std::vector<std::string>& args,
                       std::chrono::milliseconds ready_within)
    : serial_(serial), child_(SimCommand(serial, args), SimEnvironment()) {
  std::optional<std::string> line = child_.ReadLine(ready_within);
  if (!line || *line != "READY") {
    Stop();  // our destructor does not run when the constructor throws
    throw std::runtime_error("the simulated robot did not get ready: " +
                             line.value_or("(no output)"));
  }
}

SimProcess::~SimProcess() { Stop(); }

// SIGTERM, so the robot shuts its session down cleanly.
void SimProcess::Stop() { child_.Stop(true, std::chrono::seconds(10)); }

void SimProcess::Command(const std::string& command) {
  if (!child_.WriteLine(command)) {
    throw std::runtime_error("the simulated robot no longer reads commands");
  }
  std::optional<std::string> answer = child_.ReadLine(std::chrono::seconds(10));
  if (!answer || *answer != "OK " + command) {
    throw std::runtime_error("command '" + command +
                             "' answered with: " + answer.value_or("(nothing)"));
  }
}

}  // namespace korvan::test
