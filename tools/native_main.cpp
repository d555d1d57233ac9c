// The native commands share this one executable, so that Zenoh, which each of them carries, is
// in the package once. The name it is run under picks the command (the installed names are links
// to it, or scripts that run it under that name); run under its own name it takes the command's
// name as its first argument instead: korvantyr-native korvantyr-scan --seconds 3.

#include <cstring>
#include <iostream>
#include <string_view>

#include "tools/commands.h"

namespace {

struct Command {
  const char* name;
  int (*main)(int argc, char** argv);
};

constexpr Command kCommands[] = {
    {"korvantyr-scan", ScanMain},
    {"korvantyr-relay", RelayMain},
    {"korvantyr-record-native", RecordMain},
};

constexpr int kExitUsage = 2;

std::string_view BaseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

const Command* Find(std::string_view name) {
  for (const Command& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 0) {
    if (const Command* command = Find(BaseName(argv[0]))) return command->main(argc, argv);
  }
  if (argc > 1) {
    if (const Command* command = Find(argv[1])) return command->main(argc - 1, argv + 1);
  }
  std::cerr << "usage: korvantyr-native COMMAND [ARGS...], or run it under a command's name;\n"
            << "commands:";
  for (const Command& command : kCommands) std::cerr << ' ' << command.name;
  std::cerr << '\n';
  return kExitUsage;
}
