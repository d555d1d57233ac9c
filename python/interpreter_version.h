// Interpreter version check of the extension module, kept free of Python headers so that it can be
// unit-tested without an interpreter. The module's init function calls it before anything else.
#pragma once

#include <cstring>

namespace korvan {
namespace tyr_impl {

// printf format of the ImportError raised on a mismatch: compiled version, then the interpreter's
// full version text.
inline constexpr const char* kVersionMismatchFormat =
    "Python version mismatch: module was compiled for Python %s, but the interpreter version is "
    "incompatible: %s.";

// True when `runtime_version` (the interpreter's version text, e.g. "3.12.1 (main, ...)") belongs
// to the release `compiled_version` ("3.12") names: it starts with that text and the next character
// is not a digit, so neither "3.120.0" nor "3.1.5" matches "3.12".
inline bool InterpreterVersionMatches(const char* compiled_version, const char* runtime_version) {
  const std::size_t length = std::strlen(compiled_version);
  if (std::strncmp(runtime_version, compiled_version, length) != 0) {
    return false;
  }
  const char next = runtime_version[length];
  return next < '0' || next > '9';
}

}  // namespace tyr_impl
}  // namespace korvan
