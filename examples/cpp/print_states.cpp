// Prints what a robot streams, a few times: its joint groups, then per group the joint positions
// and the TCP pose, and the e-stop, enabling device and digital I/O of the whole robot.
//
//   print_states --serial DEMO-ARM-0001 [--count 3] [--interval 1.0] [--quiet]
//
// Exits 0 after the last sample; 1 when the robot cannot be reached or a query fails (the reason
// goes to stderr); 2 on a malformed command line.
#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <exception>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>

#include <korvantyr/korvantyr.h>

namespace {

constexpr const char* kProgram = "print_states";

struct Options {
  std::string serial;
  int count = 3;
  double interval_s = 1.0;
  bool quiet = false;
  bool help = false;
};

void Usage(std::ostream& out) {
  out << "usage: " << kProgram
      << " --serial SERIAL [--count N] [--interval SECONDS] [--quiet]\n"
         "  --serial    the robot's serial number\n"
         "  --count     how many times to print the robot's state (default: 3)\n"
         "  --interval  seconds between two prints (default: 1)\n"
         "  --quiet     leave out the client's informational start-up lines\n";
}

// Parses the whole of `text` as a number; false for anything else ("3x", "", "nan").
template <typename T>
bool Parse(const std::string& text, T& value) {
  std::istringstream in(text);
  T parsed{};
  if (!(in >> parsed) || in.peek() != std::char_traits<char>::eof()) return false;
  if constexpr (std::is_floating_point_v<T>) {
    if (!std::isfinite(parsed)) return false;
  }
  value = parsed;
  return true;
}

// Returns false (after a message) when the command line is malformed.
bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      return true;
    }
    if (arg == "--quiet") {
      options.quiet = true;
      continue;
    }
    if (arg != "--serial" && arg != "--count" && arg != "--interval") {
      std::cerr << kProgram << ": unknown argument " << arg << '\n';
      return false;
    }
    if (i + 1 >= argc) {
      std::cerr << kProgram << ": " << arg << " needs a value\n";
      return false;
    }
    const std::string value = argv[++i];
    bool ok = true;
    if (arg == "--serial") {
      options.serial = value;
    } else if (arg == "--count") {
      ok = Parse(value, options.count) && options.count > 0;
    } else {
      ok = Parse(value, options.interval_s) && options.interval_s >= 0.0;
    }
    if (!ok) {
      std::cerr << kProgram << ": invalid value for " << arg << ": " << value << '\n';
      return false;
    }
  }
  if (options.serial.empty()) {
    std::cerr << kProgram << ": --serial is required\n";
    return false;
  }
  return true;
}

template <typename Values>
std::string Format(const Values& values) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(3) << '[';
  for (std::size_t i = 0; i < values.size(); ++i) out << (i ? ", " : "") << values[i];
  out << ']';
  return out.str();
}

std::string Bits(const std::array<bool, 20>& bits) {
  std::string text;
  for (bool bit : bits) text += bit ? '1' : '0';
  return text;
}

const char* YesNo(bool value) { return value ? "yes" : "no"; }

void PrintSample(korvan::tyr::Client& robot) {
  const auto states = robot.states();
  if (states.empty()) std::cout << "states: (no data yet)\n";
  for (const auto& [group, s] : states) {
    std::cout << korvan::tyr::kJointGroupNames.at(group) << '\n'
              << "  q        " << Format(s.q) << '\n'
              << "  tcp_pose " << Format(s.tcp_pose) << '\n';
  }
  std::cout << "e-stop released: " << YesNo(robot.estop_released())
            << "   enabling device on: " << YesNo(robot.enabling_device_on()) << '\n'
            << "digital inputs  " << Bits(robot.digital_inputs()) << '\n'
            << "digital outputs " << Bits(robot.digital_outputs()) << '\n';
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    Usage(std::cerr);
    return 2;
  }
  if (options.help) {
    Usage(std::cout);
    return 0;
  }
  try {
    korvan::tyr::Client robot(options.serial, !options.quiet);

    std::string names;
    for (const auto& [group, name] : robot.groups()) names += (names.empty() ? "" : ", ") + name;
    std::cout << "joint groups: " << (names.empty() ? "(none yet)" : names) << '\n';

    const auto interval = std::chrono::duration<double>(options.interval_s);
    for (int i = 1; i <= options.count; ++i) {
      if (i > 1) std::this_thread::sleep_for(interval);
      std::cout << "\nsample " << i << " of " << options.count << '\n';
      PrintSample(robot);
    }
    std::cout << std::flush;
  } catch (const std::exception& e) {
    std::cerr << kProgram << ": " << e.what() << '\n';
    return 1;
  }
  return 0;
}
