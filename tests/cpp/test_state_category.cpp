#include <gtest/gtest.h>

#include <ostream>
#include <thread>

#include "common/kvn_state.h"

namespace {

struct CodeAndText {
  int code;
  const char* text;
};

void PrintTo(const CodeAndText& param, std::ostream* os) { *os << param.code; }

class GeneralStateMessage : public ::testing::TestWithParam<CodeAndText> {};

TEST_P(GeneralStateMessage, NamesTheCode) {
  const KvnState state = MakeGeneralState(GetParam().code);
  EXPECT_EQ(state.code, GetParam().code);
  ASSERT_NE(state.category, nullptr);
  EXPECT_STREQ(state.category->message(GetParam().code), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(SeverityLevels, GeneralStateMessage,
                         ::testing::Values(CodeAndText{100000, "OK"},
                                           CodeAndText{200000, "Warning"},
                                           CodeAndText{300000, "Fault"},
                                           CodeAndText{400000, "Critical fault"}));

INSTANTIATE_TEST_SUITE_P(
    UnrecognisedCodes, GeneralStateMessage,
    ::testing::Values(CodeAndText{0, "(unrecognized)"}, CodeAndText{150000, "(unrecognized)"},
                      CodeAndText{100001, "(unrecognized)"}, CodeAndText{500000, "(unrecognized)"},
                      CodeAndText{-100000, "(unrecognized)"}, CodeAndText{-1, "(unrecognized)"}));

TEST(GeneralStateCategory, IsNamedGeneral) {
  EXPECT_STREQ(MakeGeneralState(100000).category->name(), "General");
}

TEST(GeneralStateCategory, MessageDependsOnTheCodeAskedNotTheState) {
  // The category interprets whatever code it is given; a state only carries a pointer to it.
  const KvnState ok = MakeGeneralState(100000);
  EXPECT_STREQ(ok.category->message(300000), "Fault");
}

TEST(GeneralStateCategory, IsOneInstanceSharedAcrossThreads) {
  // Both threads may be the first caller; the one-time initialisation must still give one
  // instance.
  const KvnStateCategory* from_first = nullptr;
  const KvnStateCategory* from_second = nullptr;
  std::thread first([&] { from_first = MakeGeneralState(300000).category; });
  std::thread second([&] { from_second = MakeGeneralState(300000).category; });
  first.join();
  second.join();
  ASSERT_NE(from_first, nullptr);
  EXPECT_EQ(from_first, from_second);
  EXPECT_EQ(from_first, MakeGeneralState(100000).category);
}

}  // namespace
