// Uses the installed public header and the installed library as a C++ user's program would: a
// symbol defined in the library, an exception thrown out of it, and the library's log lines
// arriving at the default logger that the program sets.
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <korvantyr/korvantyr.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

int main() {
  const auto& names = korvan::tyr::kJointGroupNames;
  if (names.at(korvan::tyr::JointGroup::ARM_1) != "ARM_1") return 1;
  for (const auto& [group, name] : names) {
    std::cout << static_cast<int>(group) << ' ' << name << '\n';
  }

  std::ostringstream lines;
  spdlog::set_default_logger(std::make_shared<spdlog::logger>(
      "consumer", std::make_shared<spdlog::sinks::ostream_sink_st>(lines)));
  try {
    korvan::tyr::Client client("NOT_A_SERIAL", /*verbose=*/true);
    std::cerr << "a malformed serial number was accepted\n";
    return 2;
  } catch (const std::invalid_argument& e) {
    std::cout << e.what() << '\n';
  }
#ifdef KORVANTYR_SHARED_LOGGER
  if (lines.str().find("Korvan TYR") == std::string::npos) {
    std::cerr << "the library's banner did not reach the program's default logger\n";
    return 3;
  }
#endif
  return 0;
}
