// Uses the installed public header and a symbol defined in the installed library.
#include <iostream>

#include <korvantyr/korvantyr.h>

int main() {
  const auto& names = korvan::tyr::kJointGroupNames;
  if (names.at(korvan::tyr::JointGroup::ARM_1) != "ARM_1") return 1;
  for (const auto& [group, name] : names) {
    std::cout << static_cast<int>(group) << ' ' << name << '\n';
  }
  return 0;
}
