// Network text made harmless for a terminal or a text field: anything but printable ASCII (escape
// sequences included) is written as \xNN, and a backslash as \\, so what is shown is unambiguous.
// Header-only: the benchmark that compiles the recorder's channel encoders uses it as well.
#pragma once

#include <string>
#include <string_view>

namespace korvan::tools {

inline std::string Printable(std::string_view text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string shown;
  shown.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '\\') {
      shown += "\\\\";
    } else if (byte >= 0x20 && byte < 0x7f) {
      shown.push_back(c);
    } else {
      shown += "\\x";
      shown.push_back(kDigits[byte >> 4]);
      shown.push_back(kDigits[byte & 0x0f]);
    }
  }
  return shown;
}

}  // namespace korvan::tools
