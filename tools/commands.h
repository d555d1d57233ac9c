// The native commands, each the main of one name of the multi-call executable (native_main.cpp):
// they take the whole command line, argv[0] included, and return the exit status.
#pragma once

#include <exception>
#include <iostream>
#include <stdexcept>

int ScanMain(int argc, char** argv);
int RelayMain(int argc, char** argv);
int RecordMain(int argc, char** argv);

namespace korvan::tools {

// A malformed command line; reported as "PROG: error: WHAT (see --help)", exit code 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The frame every native command shares: parse the command line (throws UsageError), print the
// help when asked, run, and end any other failure in one line on stderr with `failure_code`.
template <typename Parse, typename Run>
int RunCommand(const char* prog, const char* help, int help_code, int failure_code, Parse parse,
               Run run) {
  decltype(parse()) options;
  try {
    options = parse();
  } catch (const UsageError& e) {
    std::cerr << prog << ": error: " << e.what() << " (see --help)\n";
    return 2;
  }
  if (options.help) {
    std::cout << help;
    return help_code;
  }
  try {
    return run(options);
  } catch (const std::exception& e) {
    std::cerr << prog << ": " << e.what() << '\n';
    return failure_code;
  }
}

}  // namespace korvan::tools
