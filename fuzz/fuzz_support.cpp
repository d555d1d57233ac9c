#include "fuzz/fuzz_support.h"

#include <spdlog/spdlog.h>

#include <cstdio>
#include <cstdlib>

namespace korvan::fuzz {

void Fail(const std::string& what) {
  std::fprintf(stderr, "==korvantyr fuzz== invariant broken: %s\n", what.c_str());
  std::abort();
}

std::vector<std::string> Split(std::string_view text, char separator) {
  std::vector<std::string> pieces;
  if (text.empty()) return pieces;
  for (;;) {
    const size_t at = text.find(separator);
    pieces.emplace_back(text.substr(0, at));
    if (at == std::string_view::npos) return pieces;
    text.remove_prefix(at + 1);
  }
}

}  // namespace korvan::fuzz

// The library logs every malformed message; at fuzzing rates that output would cost more than the
// code under test.
extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  if (std::getenv("KVN_FUZZ_LOG") != nullptr) {
    spdlog::set_level(spdlog::level::trace);
  } else {
    spdlog::set_level(spdlog::level::off);
  }
  return 0;
}
