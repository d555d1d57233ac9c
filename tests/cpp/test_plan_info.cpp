// Plan-info reply: eight texts to a PlanInfo, the two conversions, and the error-level log lines
// of a refused reply, captured from the default logger.

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "rpc/plan_info.h"
#include "support/log_capture.h"

namespace {

using korvan::tyr::PlanInfo;
using korvan::tyr_impl::PlanInfoFromStrings;
using Strings = std::vector<std::string>;
using korvan::test::LogCapture;
using LogLines = std::vector<korvan::test::LogLine>;

Strings Reply(std::string velocity_scale, std::string waiting_for_step) {
  return {"P",
          "N",
          "/a/b",
          "12.5",
          "3",
          "Plan",
          std::move(velocity_scale),
          std::move(waiting_for_step)};
}

TEST(PlanInfoReply, FillsEveryFieldFromTheEightTexts) {
  LogCapture log;
  PlanInfo info;
  EXPECT_EQ(PlanInfoFromStrings(Reply("0.5", "1"), info).code, kKvnStateOk);
  EXPECT_EQ(info.pt_name, "P");
  EXPECT_EQ(info.node_name, "N");
  EXPECT_EQ(info.node_path, "/a/b");
  EXPECT_EQ(info.node_path_time_period, "12.5");
  EXPECT_EQ(info.node_path_number, "3");
  EXPECT_EQ(info.assigned_plan_name, "Plan");
  EXPECT_EQ(info.velocity_scale, 0.5);
  EXPECT_TRUE(info.waiting_for_step);
  EXPECT_TRUE(log.Lines().empty());
}

TEST(PlanInfoReply, EmptyTextFieldsAreAccepted) {
  PlanInfo info;
  info.pt_name = "old";
  EXPECT_EQ(PlanInfoFromStrings({"", "", "", "", "", "", "1", "0"}, info).code, kKvnStateOk);
  EXPECT_EQ(info.pt_name, "");
  EXPECT_EQ(info.assigned_plan_name, "");
}

struct ConversionCase {
  const char* name;
  std::string velocity_scale;
  std::string waiting_for_step;
  double expected_scale;
  bool expected_waiting;
};

const ConversionCase kConversions[] = {
    {"ZeroIsNotWaiting", "0.5", "0", 0.5, false},
    {"TwoIsWaiting", "0.5", "2", 0.5, true},
    {"MinusOneIsWaiting", "0.5", "-1", 0.5, true},
    {"BlanksAroundFlagSkipped", "0.5", " 1 ", 0.5, true},
    {"FlagReadsLeadingDigitsOnly", "0.5", "0.9", 0.5, false},
    {"TrailingTextAfterScaleIgnored", "0.8x", "0", 0.8, false},
    {"ScaleLeadingBlanksSkipped", "  0.75", "0", 0.75, false},
    {"ScaleFullPrecision", "0.1", "0", 0.1, false},
    {"ScaleExponent", "-2.5e-3", "0", -2.5e-3, false},
    {"ScaleHexadecimal", "0x1.8p1", "0", 3.0, false},
};

class PlanInfoConversion : public testing::TestWithParam<ConversionCase> {};

TEST_P(PlanInfoConversion, ReadsScaleAndFlag) {
  PlanInfo info;
  const ConversionCase& c = GetParam();
  ASSERT_EQ(PlanInfoFromStrings(Reply(c.velocity_scale, c.waiting_for_step), info).code,
            kKvnStateOk);
  EXPECT_EQ(info.velocity_scale, c.expected_scale);
  EXPECT_EQ(info.waiting_for_step, c.expected_waiting);
}

INSTANTIATE_TEST_SUITE_P(Texts, PlanInfoConversion, testing::ValuesIn(kConversions),
                         [](const auto& info) { return std::string(info.param.name); });

struct FailureCase {
  const char* name;
  std::string velocity_scale;
  std::string waiting_for_step;
  const char* conversion_message;
  bool scale_set;  // the scale converted before the flag failed
};

const FailureCase kFailures[] = {
    {"ScaleNotANumber", "abc", "1", "invalid stod argument", false},
    {"ScaleEmpty", "", "1", "invalid stod argument", false},
    {"ScaleOverflows", "1e400", "1", "stod argument out of range", false},
    {"FlagIsAWord", "0.5", "true", "invalid stoi argument", true},
    {"FlagEmpty", "0.5", "", "invalid stoi argument", true},
    {"FlagBeyond32Bits", "0.5", "99999999999", "stoi argument out of range", true},
};

class PlanInfoConversionFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(PlanInfoConversionFailure, LogsTheConversionErrorAndFails) {
  const FailureCase& c = GetParam();
  LogCapture log;
  PlanInfo info;
  info.velocity_scale = -1.0;
  info.waiting_for_step = true;
  EXPECT_EQ(PlanInfoFromStrings(Reply(c.velocity_scale, c.waiting_for_step), info).code,
            kKvnStateFault);
  EXPECT_EQ(log.Lines(), (LogLines{{spdlog::level::err, std::string("Invalid PlanInfo string "
                                                                    "conversion: ") +
                                                            c.conversion_message}}));
  // Fields set before the failing conversion keep their new values; later ones are untouched.
  EXPECT_EQ(info.pt_name, "P");
  EXPECT_EQ(info.assigned_plan_name, "Plan");
  EXPECT_EQ(info.velocity_scale, c.scale_set ? 0.5 : -1.0);
  EXPECT_TRUE(info.waiting_for_step);
}

INSTANTIATE_TEST_SUITE_P(Texts, PlanInfoConversionFailure, testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PlanInfoReply, WrongNumberOfTextsIsRefusedAndRecordUntouched) {
  for (size_t count : {0u, 7u, 9u}) {
    SCOPED_TRACE(count);
    LogCapture log;
    Strings strings = Reply("0.5", "1");
    strings.resize(count, "1");
    PlanInfo info;
    info.pt_name = "kept";
    EXPECT_EQ(PlanInfoFromStrings(strings, info).code, kKvnStateFault);
    EXPECT_EQ(log.Lines(),
              (LogLines{{spdlog::level::err,
                         "[korvan::tyr::Client] Size of plan info container is incorrect"}}));
    EXPECT_EQ(info.pt_name, "kept");
  }
}

}  // namespace
