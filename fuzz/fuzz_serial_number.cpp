// Normalises the input as the client's constructor normalises the user's serial number, before
// any network access. A text is either refused with the one invalid-argument message or turned
// into a canonical form that is its own canonical form and keeps the unit part unchanged.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "client/serial_number.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr char kInvalid[] =
    "[korvan::tyr::Client] Format of the provided robot serial number is invalid";

// The unit part: everything after the last hyphen.
std::string UnitOf(const std::string& serial) { return serial.substr(serial.rfind('-') + 1); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using korvan::fuzz::Expect;
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string canonical;
  try {
    canonical = korvan::tyr_impl::NormalizeSerialNumber(text);
  } catch (const std::invalid_argument& e) {
    Expect(std::string(e.what()) == kInvalid, "a serial number is refused with another message");
    return 0;
  }
  Expect(korvan::tyr_impl::NormalizeSerialNumber(canonical) == canonical,
         "a canonical serial number is not its own canonical form");
  Expect(canonical.size() == text.size(), "normalising changed the serial number's length");
  Expect(UnitOf(canonical) == UnitOf(text), "normalising changed the unit part");
  Expect(canonical.find(' ') == std::string::npos || canonical.find(' ') > canonical.rfind('-'),
         "a blank is left in the model part");
  return 0;
}
