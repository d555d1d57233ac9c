#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>

#include "python/interpreter_version.h"

namespace {

using korvan::tyr_impl::InterpreterVersionMatches;
using korvan::tyr_impl::kVersionMismatchFormat;

struct VersionCase {
  const char* runtime;
  bool accepted;
};

void PrintTo(const VersionCase& param, std::ostream* os) { *os << '"' << param.runtime << '"'; }

class InterpreterVersionFor312 : public ::testing::TestWithParam<VersionCase> {};

TEST_P(InterpreterVersionFor312, IsAcceptedOnlyForTheSameMinorRelease) {
  EXPECT_EQ(InterpreterVersionMatches("3.12", GetParam().runtime), GetParam().accepted)
      << GetParam().runtime;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, InterpreterVersionFor312,
    ::testing::Values(VersionCase{"3.12.1 (main, May  9 2026, 07:36:11)", true},
                      VersionCase{"3.12.0rc1", true}, VersionCase{"3.12", true},
                      VersionCase{"3.12+", true},
                      // A longer minor number must not pass for 3.12.
                      VersionCase{"3.120.0", false}, VersionCase{"3.121", false},
                      VersionCase{"3.13.0 (main)", false}, VersionCase{"3.11.7", false},
                      VersionCase{"3.1", false}, VersionCase{"3.1.2", false},
                      VersionCase{"2.12.0", false}, VersionCase{"", false},
                      VersionCase{" 3.12.1", false}));

TEST(InterpreterVersionMismatch, MessageNamesBothVersions) {
  char text[256];
  std::snprintf(text, sizeof(text), kVersionMismatchFormat, "3.12", "3.13.0 (main)");
  EXPECT_EQ(std::string(text),
            "Python version mismatch: module was compiled for Python 3.12, but the interpreter "
            "version is incompatible: 3.13.0 (main).");
}

}  // namespace
