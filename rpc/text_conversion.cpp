#include "rpc/text_conversion.h"

#include <stdexcept>

namespace korvan::tyr_impl {

// The standard library's own texts differ between implementations (some say only "stoi"), so the
// conversions are delegated and only their texts replaced.

int32_t StringToInt(const std::string& text) {
  try {
    return std::stoi(text);
  } catch (const std::invalid_argument&) {
    throw std::invalid_argument(kInvalidStoiArgument);
  } catch (const std::out_of_range&) {
    throw std::out_of_range(kStoiArgumentOutOfRange);
  }
}

double StringToDouble(const std::string& text) {
  try {
    return std::stod(text);
  } catch (const std::invalid_argument&) {
    throw std::invalid_argument(kInvalidStodArgument);
  } catch (const std::out_of_range&) {
    throw std::out_of_range(kStodArgumentOutOfRange);
  }
}

}  // namespace korvan::tyr_impl
