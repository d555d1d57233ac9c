// Configuration score: reading the manipulability reply, the piecewise-linear score mapping with
// the reply's examples to full double precision, and the log lines of refused replies.

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "rpc/configuration_score.h"
#include "support/log_capture.h"

namespace {

using korvan::tyr::JointGroup;
using korvan::tyr_impl::ConfigurationScores;
using korvan::tyr_impl::kFirstScoreMid;
using korvan::tyr_impl::kFirstScoreSpan;
using korvan::tyr_impl::kSecondScoreMid;
using korvan::tyr_impl::kSecondScoreSpan;
using korvan::tyr_impl::ManipulabilityFromReply;
using korvan::tyr_impl::ManipulabilityValues;
using korvan::tyr_impl::ScoreFromManipulability;
using Values = std::map<JointGroup, ManipulabilityValues>;
using Scores = std::map<JointGroup, std::pair<double, double>>;
using korvan::test::LogCapture;
using LogLines = std::vector<korvan::test::LogLine>;

// --- Score mapping ------------------------------------------------------------------------------

struct ScoreCase {
  const char* name;
  double x;
  double first;   // with mid 0.15, span 0.07
  double second;  // with mid 0.3, span 0.45
};

const ScoreCase kScores[] = {
    {"Zero", 0.0, 0.0, 0.0},
    {"BelowLowerThreshold", 0.0625, 15.625, 15.625},
    {"LowerThreshold", 0.08, 20.0, 20.0},
    {"FirstExample", 0.125, 32.85714285714286, 24.09090909090909},
    {"FirstMid", 0.15, 40.0, 26.363636363636363},
    {"QuarterBeyondFirstTop", 0.25, 100.0, 35.45454545454545},
    {"SecondMid", 0.3, 100.0, 40.0},
    {"SecondExample", 0.5, 100.0, 66.66666666666667},
    {"One", 1.0, 100.0, 100.0},
    {"Negative", -0.01, 0.0, 0.0},
    {"NegativeInfinity", -std::numeric_limits<double>::infinity(), 0.0, 0.0},
    {"NotANumber", std::numeric_limits<double>::quiet_NaN(), 0.0, 0.0},
    {"Infinity", std::numeric_limits<double>::infinity(), 100.0, 100.0},
};

class Score : public testing::TestWithParam<ScoreCase> {};

TEST_P(Score, MapsToExactValue) {
  const ScoreCase& c = GetParam();
  EXPECT_EQ(ScoreFromManipulability(c.x, kFirstScoreMid, kFirstScoreSpan), c.first);
  EXPECT_EQ(ScoreFromManipulability(c.x, kSecondScoreMid, kSecondScoreSpan), c.second);
}

INSTANTIATE_TEST_SUITE_P(Values, Score, testing::ValuesIn(kScores),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Score, MiddleBandDividesByTheDoubleDifferenceOfThresholds) {
  // mid - 0.08 is 0.06999999999999999 and 0.21999999999999997 in double precision, not the
  // decimal 0.07 and 0.22; the results differ in the last bits.
  EXPECT_EQ(kFirstScoreMid - 0.08, 0.06999999999999999);
  EXPECT_EQ(kSecondScoreMid - 0.08, 0.21999999999999997);
  EXPECT_EQ(ScoreFromManipulability(0.1, kFirstScoreMid, kFirstScoreSpan),
            20.0 + (0.1 - 0.08) / 0.06999999999999999 * 20.0);
  EXPECT_EQ(ScoreFromManipulability(0.2, kSecondScoreMid, kSecondScoreSpan),
            20.0 + (0.2 - 0.08) / 0.21999999999999997 * 20.0);
}

TEST(Score, ReachesHundredAtMidPlusSpanAndIsRisingAndContinuous) {
  for (const auto& [mid, span] : {std::make_pair(kFirstScoreMid, kFirstScoreSpan),
                                  std::make_pair(kSecondScoreMid, kSecondScoreSpan)}) {
    EXPECT_EQ(ScoreFromManipulability(mid + span, mid, span), 100.0);
    double previous = 0.0;
    for (int step = 0; step <= 1000; ++step) {
      const double score = ScoreFromManipulability(step * 0.001, mid, span);
      EXPECT_GE(score, previous);
      EXPECT_LE(score - previous, 1.5);  // no jump at the thresholds
      EXPECT_LE(score, 100.0);
      previous = score;
    }
  }
}

// --- Reading the reply --------------------------------------------------------------------------

TEST(ManipulabilityReply, ExampleGivesTheExpectedScores) {
  LogCapture log;
  Values values;
  ASSERT_EQ(ManipulabilityFromReply({3}, {{0, 0, 0, 0, 0.125f, 0, 0, 0.5f}}, values).code,
            kKvnStateOk);
  EXPECT_EQ(values, (Values{{JointGroup::ARM_1, {0, 0, 0.125, 0, 0, 0.5}}}));
  EXPECT_EQ(ConfigurationScores(values),
            (Scores{{JointGroup::ARM_1, {32.85714285714286, 66.66666666666667}}}));
  EXPECT_TRUE(log.Lines().empty());
}

TEST(ManipulabilityReply, OnlyPackedPositionsFourAndSevenAffectTheScores) {
  Values plain;
  Values noisy;
  ASSERT_EQ(ManipulabilityFromReply({5}, {{0, 0, 0, 0, 0.1f, 0, 0, 0.4f}}, plain).code,
            kKvnStateOk);
  ASSERT_EQ(ManipulabilityFromReply({5}, {{7, -3, 0.9f, 5, 0.1f, -1, 2, 0.4f, 8}}, noisy).code,
            kKvnStateOk);
  EXPECT_EQ(ConfigurationScores(plain), ConfigurationScores(noisy));
}

TEST(ManipulabilityReply, OrderedByJointGroupAndLaterDuplicateWins) {
  Values values;
  ASSERT_EQ(
      ManipulabilityFromReply(
          {4, 0, 4}, {{0, 0, 1, 0, 0, 0, 0, 0}, {0, 0, 2, 0, 0, 0, 0, 0}, {0, 0, 3, 0, 0, 0, 0, 0}},
          values)
          .code,
      kKvnStateOk);
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values.begin()->first, JointGroup::ALL);
  EXPECT_EQ(values.at(JointGroup::ARM_2)[0], 3.0);
}

TEST(ManipulabilityReply, GroupNumbersAreTakenAsGiven) {
  Values values;
  ASSERT_EQ(ManipulabilityFromReply({1}, {{0, 0, 0, 0, 0, 0, 0, 0}}, values).code, kKvnStateOk);
  EXPECT_EQ(values.count(static_cast<JointGroup>(1)), 1u);
}

TEST(ManipulabilityReply, NoGroupsGivesEmptyMap) {
  Values values = {{JointGroup::ALL, {}}};
  ASSERT_EQ(ManipulabilityFromReply({}, {}, values).code, kKvnStateOk);
  EXPECT_TRUE(values.empty());
  EXPECT_TRUE(ConfigurationScores(values).empty());
}

TEST(ManipulabilityReply, SizeMismatchIsRefusedAndMapUntouched) {
  LogCapture log;
  const Values before = {{JointGroup::ALL, {1, 2, 3, 4, 5, 6}}};
  Values values = before;
  EXPECT_EQ(ManipulabilityFromReply({3, 4}, {{0, 0, 0, 0, 0, 0, 0, 0}}, values).code,
            kKvnStateFault);
  EXPECT_EQ(values, before);
  EXPECT_EQ(log.Lines(), (LogLines{{spdlog::level::err,
                                    "Malformed manipulability reply: size mismatch between "
                                    "joint_groups and float2d_container"}}));
}

TEST(ManipulabilityReply, ShortPackedVectorIsRefusedKeepingEarlierGroups) {
  LogCapture log;
  Values values = {{JointGroup::ALL, {1, 2, 3, 4, 5, 6}}};
  EXPECT_EQ(ManipulabilityFromReply({3, 4, 5},
                                    {{0, 0, 1, 0, 0, 0, 0, 0},
                                     {0, 0, 0, 0, 0, 0, 0},  // seven floats
                                     {0, 0, 0, 0, 0, 0, 0, 0}},
                                    values)
                .code,
            kKvnStateFault);
  EXPECT_EQ(values, (Values{{JointGroup::ARM_1, {1, 0, 0, 0, 0, 0}}}));
  EXPECT_EQ(log.Lines(), (LogLines{{spdlog::level::err,
                                    "Malformed manipulability reply: packed vector size [7], "
                                    "expecting at least [8]"}}));
}

}  // namespace
