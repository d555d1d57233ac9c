// Primitive-state reply: value typing, cutting entries into joint-group blocks, every refusal, and
// the retry on corrupted replies with a scripted request in place of the robot.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "rpc/primitive_states.h"

namespace {

using korvan::tyr::JointGroup;
using korvan::tyr::PrimitiveStates;
using korvan::tyr_impl::FetchPrimitiveStateStrings;
using korvan::tyr_impl::kMaxPrimitiveStateRequests;
using korvan::tyr_impl::ParsePrimitiveStates;
using korvan::tyr_impl::ParsePrimitiveValue;
using korvan::tyr_impl::PrimitiveValue;
using korvan::tyr_impl::QueryPrimitiveStates;
using Strings = std::vector<std::string>;

const std::map<JointGroup, std::string> kAllGroups = {
    {JointGroup::ALL, "ALL"},     {JointGroup::ARMS, "ARMS"},         {JointGroup::ARM_1, "ARM_1"},
    {JointGroup::ARM_2, "ARM_2"}, {JointGroup::EXT_AXIS, "EXT_AXIS"},
};

template <typename Exception, typename Call>
void ExpectThrowWithText(Call&& call, const std::string& text) {
  try {
    call();
    ADD_FAILURE() << "nothing thrown, expected: " << text;
  } catch (const Exception& e) {
    EXPECT_EQ(e.what(), text);
  }
}

// --- Typing of values -------------------------------------------------------------------------

struct ValueCase {
  const char* name;
  std::string text;
  PrimitiveValue expected;
};

const ValueCase kValueCases[] = {
    {"Integer", " 7", int32_t{7}},
    {"NegativeInteger", " -12", int32_t{-12}},
    {"NegativeZeroIsInteger", " -0", int32_t{0}},
    {"LeadingZerosInteger", " 007", int32_t{7}},
    {"LargestInteger", " 2147483647", int32_t{2147483647}},
    {"SmallestInteger", " -2147483648", int32_t{-2147483647 - 1}},
    {"PlusSignMakesDouble", " +7", 7.0},
    {"DecimalPointMakesDouble", " 7.0", 7.0},
    {"ExponentMakesDouble", " 1e3", 1000.0},
    {"NoLeadingDigit", " .5", 0.5},
    {"NegativeNoLeadingDigit", " -.5", -0.5},
    {"TrailingPoint", " 1.", 1.0},
    {"Fraction", " 0.25", 0.25},
    {"FullPrecisionDouble", " 0.1", 0.1},
    {"SubnormalStaysDouble", " 1e-310", 1e-310},
    {"TrailingLetterStaysString", " 7x", std::string("7x")},
    {"WordStaysString", " true", std::string("true")},
    {"TwoPointsStayString", " 1.2.3", std::string("1.2.3")},
    {"None", " None", std::string("None")},
    {"OnlyTheFirstWord", " Move To Home", std::string("Move")},
    {"FirstWordIsTyped", " 5 apples", int32_t{5}},
    {"TabsAndNewlinesSkipped", "\t 0.25 \n", 0.25},
    {"NoLeadingBlankNeeded", "3", int32_t{3}},
    {"EmptyText", "", std::string()},
    {"SingleBlank", " ", std::string()},
    {"OnlyWhiteSpace", " \t\n", std::string()},
    {"DanglingExponentStaysString", " 1e", std::string("1e")},
    {"LonePlusStaysString", " +", std::string("+")},
    {"DoubleMinusStaysString", " --5", std::string("--5")},
    // No decimal numbers, or beyond a double: the same with every C++ standard library.
    {"HexadecimalStaysString", " 0x1p3", std::string("0x1p3")},
    {"InfinityStaysString", " inf", std::string("inf")},
    {"NanStaysString", " nan", std::string("nan")},
    {"BeyondDoubleRangeStaysString", " 1e400", std::string("1e400")},
};

class PrimitiveValueTyping : public testing::TestWithParam<ValueCase> {};

TEST_P(PrimitiveValueTyping, TakesTheExpectedAlternativeAndValue) {
  const PrimitiveValue value = ParsePrimitiveValue(GetParam().text);
  ASSERT_EQ(value.index(), GetParam().expected.index());
  EXPECT_EQ(value, GetParam().expected);  // doubles compared exactly
}

INSTANTIATE_TEST_SUITE_P(Words, PrimitiveValueTyping, testing::ValuesIn(kValueCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PrimitiveValueTyping, LoneMinusFailsAsInvalidInteger) {
  ExpectThrowWithText<std::invalid_argument>([] { ParsePrimitiveValue(" -"); },
                                             "invalid stoi argument");
}

TEST(PrimitiveValueTyping, IntegersBeyond32BitsFailAsOutOfRange) {
  for (const char* text : {" 99999999999", " 2147483648", " -2147483649"}) {
    SCOPED_TRACE(text);
    ExpectThrowWithText<std::out_of_range>([&] { ParsePrimitiveValue(text); },
                                           "stoi argument out of range");
  }
}

// --- Blocks and records -----------------------------------------------------------------------

TEST(PrimitiveStatesReply, BuildsOneRecordPerBlockWithTypedVariables) {
  const auto result = ParsePrimitiveStates(
      {"jointGroup = 3", "primitiveName = P1", "alpha = 1", "gamma = 0.25", "beta = None"},
      kAllGroups);
  ASSERT_EQ(result.size(), 1u);
  const PrimitiveStates& record = result.at(JointGroup::ARM_1);
  EXPECT_EQ(record.pt_name, "P1");
  const std::map<std::string, PrimitiveValue> expected = {
      {"alpha", int32_t{1}}, {"beta", std::string("None")}, {"gamma", 0.25}};
  EXPECT_EQ(record.names_and_values, expected);
  std::vector<std::string> names;
  for (const auto& entry : record.names_and_values) names.push_back(entry.first);
  EXPECT_EQ(names, (Strings{"alpha", "beta", "gamma"}));
}

TEST(PrimitiveStatesReply, ResultIsOrderedByJointGroupNotByReply) {
  const auto result = ParsePrimitiveStates(
      {"jointGroup = 4", "primitiveName = B", "jointGroup = 3", "primitiveName = A"}, kAllGroups);
  ASSERT_EQ(result.size(), 2u);
  EXPECT_EQ(result.begin()->first, JointGroup::ARM_1);
  EXPECT_EQ(result.at(JointGroup::ARM_1).pt_name, "A");
  EXPECT_EQ(result.at(JointGroup::ARM_2).pt_name, "B");
  EXPECT_TRUE(result.at(JointGroup::ARM_2).names_and_values.empty());
}

TEST(PrimitiveStatesReply, FirstEntryOfANameWins) {
  const auto result = ParsePrimitiveStates(
      {"jointGroup = 0", "primitiveName = P", "x = 1", "x = 2", "primitiveName = Q"}, kAllGroups);
  const PrimitiveStates& record = result.at(JointGroup::ALL);
  EXPECT_EQ(record.pt_name, "P");
  EXPECT_EQ(record.names_and_values.at("x"), PrimitiveValue(int32_t{1}));
}

TEST(PrimitiveStatesReply, CharacterBeforeEqualsIsDroppedFromTheName) {
  const auto result = ParsePrimitiveStates(
      {"jointGroup = 5", "primitiveName = P", "ab=1", "c=2", "long name = x"}, kAllGroups);
  const auto& values = result.at(JointGroup::EXT_AXIS).names_and_values;
  const std::map<std::string, PrimitiveValue> expected = {
      {"a", int32_t{1}}, {"", int32_t{2}}, {"long name", std::string("x")}};
  EXPECT_EQ(values, expected);
}

TEST(PrimitiveStatesReply, MarkerIsAnyEntryStartingWithJointGroup) {
  // White space around the number is skipped; the letter before "=" is dropped from the name,
  // so "jointGroupX=" still names the variable "jointGroup".
  const auto result = ParsePrimitiveStates(
      {"jointGroup =  3 ", "primitiveName = P", "jointGroupX= 4", "primitiveName = Q"}, kAllGroups);
  ASSERT_EQ(result.size(), 2u);
  EXPECT_EQ(result.at(JointGroup::ARM_1).pt_name, "P");
  EXPECT_EQ(result.at(JointGroup::ARM_2).pt_name, "Q");
}

struct RefusalCase {
  const char* name;
  Strings entries;
  const char* message;
};

const std::string kPrefix = "[korvan::tyr::Client::primitive_states] ";

const RefusalCase kRefusals[] = {
    {"MarkerWithoutEquals",
     {"jointGroup 3", "primitiveName = P"},
     "Malformed primitive state entry"},
    {"EntryWithoutEqualsInBlock",
     {"jointGroup = 3", "primitiveName = P", "alpha 1"},
     "Malformed primitive state entry"},
    {"EntryStartingWithEquals",
     {"jointGroup = 3", "primitiveName = P", "= 1"},
     "Malformed primitive state entry"},
    {"UnknownJointGroupOne",
     {"jointGroup = 1", "primitiveName = P"},
     "Received primitive states for unknown joint group"},
    {"JointGroupAboveFive",
     {"jointGroup = 6", "primitiveName = P"},
     "Received primitive states for unknown joint group"},
    {"DuplicateMarker",
     {"jointGroup = 3", "primitiveName = P", "jointGroup = 3", "primitiveName = Q"},
     "Duplicate primitive states for a joint group"},
    {"EntryBeforeFirstMarker",
     {"primitiveName = P", "jointGroup = 3"},
     "Malformed primitive states: missing jointGroup marker"},
    {"NoPrimitiveName",
     {"jointGroup = 3", "alpha = 1"},
     "Malformed primitive states: jointGroup or primitiveName missing"},
    {"MarkerWithoutBlankLosesItsName",
     {"jointGroup= 3", "primitiveName = P"},
     "Malformed primitive states: jointGroup or primitiveName missing"},
    {"MarkerNamedOtherwise",
     {"jointGroupXY = 3", "primitiveName = P"},
     "Malformed primitive states: jointGroup or primitiveName missing"},
    // Cutting finishes before any block is read: the later cutting error wins over this block's.
    {"CuttingErrorsComeFirst",
     {"jointGroup = 3", "alpha 1", "jointGroup = 1"},
     "Received primitive states for unknown joint group"},
};

class PrimitiveStatesRefusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(PrimitiveStatesRefusal, ThrowsRuntimeErrorWithItsMessage) {
  ExpectThrowWithText<std::runtime_error>(
      [] { ParsePrimitiveStates(GetParam().entries, kAllGroups); }, kPrefix + GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Replies, PrimitiveStatesRefusal, testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PrimitiveStatesReply, EveryMarkerIsUnknownWithoutLearntJointGroups) {
  ExpectThrowWithText<std::runtime_error>(
      [] {
        ParsePrimitiveStates({"jointGroup = 0", "primitiveName = P"}, {});
      },
      kPrefix + "Received primitive states for unknown joint group");
}

TEST(PrimitiveStatesReply, MarkerNumberConversionErrorsPropagate) {
  ExpectThrowWithText<std::invalid_argument>(
      [] { ParsePrimitiveStates({"jointGroup = x"}, kAllGroups); }, "invalid stoi argument");
  ExpectThrowWithText<std::invalid_argument>(
      [] { ParsePrimitiveStates({"jointGroup ="}, kAllGroups); }, "invalid stoi argument");
  ExpectThrowWithText<std::out_of_range>(
      [] { ParsePrimitiveStates({"jointGroup = 99999999999"}, kAllGroups); },
      "stoi argument out of range");
}

// The text is the documented one with either C++ standard library (libc++ words its own otherwise).
TEST(PrimitiveStatesReply, WronglyTypedKeyVariablesFailWithBadVariantAccess) {
  ExpectThrowWithText<std::bad_variant_access>(
      [] { ParsePrimitiveStates({"jointGroup = 3", "primitiveName = 42"}, kAllGroups); },
      "std::get: wrong index for variant");
  // Cut as group 3 (the conversion stops at the "x"), but typed as a string.
  ExpectThrowWithText<std::bad_variant_access>(
      [] { ParsePrimitiveStates({"jointGroup = 3x", "primitiveName = P"}, kAllGroups); },
      "std::get: wrong index for variant");
}

// --- Retry on corrupted replies -----------------------------------------------------------------

// Answers each request with the next scripted reply; a reply of nullopt is a failed call.
class ScriptedRobot {
 public:
  explicit ScriptedRobot(std::vector<std::optional<Strings>> replies)
      : replies_(std::move(replies)) {}

  KvnState operator()(Strings& strings) {
    const std::optional<Strings>& reply = replies_.at(requests_++);
    if (!reply) return MakeGeneralState(kKvnStateFault);
    strings = *reply;
    return MakeGeneralState(kKvnStateOk);
  }

  size_t requests() const { return requests_; }

 private:
  std::vector<std::optional<Strings>> replies_;
  size_t requests_ = 0;
};

const Strings kCorrupted = {"jointGroup = 3", "", "primitiveName = P"};
const Strings kClean = {"jointGroup = 3", "primitiveName = P"};

TEST(PrimitiveStatesFetch, CleanFirstReplyIsUsedAtOnce) {
  ScriptedRobot robot({kClean});
  EXPECT_EQ(FetchPrimitiveStateStrings(std::ref(robot)), kClean);
  EXPECT_EQ(robot.requests(), 1u);
}

TEST(PrimitiveStatesFetch, CorruptedReplyIsRequestedAgain) {
  ScriptedRobot robot({kCorrupted, kClean});
  EXPECT_EQ(FetchPrimitiveStateStrings(std::ref(robot)), kClean);
  EXPECT_EQ(robot.requests(), 2u);
}

TEST(PrimitiveStatesFetch, SixthCleanReplyIsStillUsed) {
  std::vector<std::optional<Strings>> replies(kMaxPrimitiveStateRequests - 1, kCorrupted);
  replies.push_back(kClean);
  ScriptedRobot robot(replies);
  EXPECT_EQ(FetchPrimitiveStateStrings(std::ref(robot)), kClean);
  EXPECT_EQ(robot.requests(), 6u);
}

TEST(PrimitiveStatesFetch, GivesUpAfterSixCorruptedReplies) {
  ScriptedRobot robot(std::vector<std::optional<Strings>>(10, Strings{""}));
  ExpectThrowWithText<std::runtime_error>(
      [&] { FetchPrimitiveStateStrings(std::ref(robot)); },
      kPrefix + "Still received corrupted data after several attempts");
  EXPECT_EQ(robot.requests(), 6u);
}

TEST(PrimitiveStatesFetch, FailedCallIsNotRetried) {
  for (size_t failing_request : {0u, 2u}) {
    SCOPED_TRACE(failing_request);
    std::vector<std::optional<Strings>> replies(failing_request, kCorrupted);
    replies.push_back(std::nullopt);
    replies.push_back(kClean);
    ScriptedRobot robot(replies);
    ExpectThrowWithText<std::runtime_error>([&] { FetchPrimitiveStateStrings(std::ref(robot)); },
                                            kPrefix + "No reply from the robot");
    EXPECT_EQ(robot.requests(), failing_request + 1);
  }
}

TEST(PrimitiveStatesQuery, RetriesThenBuildsTheRecords) {
  ScriptedRobot robot({kCorrupted, Strings{"jointGroup = 0", "primitiveName = Hold", "t = 1.5"}});
  const auto result = QueryPrimitiveStates(std::ref(robot), kAllGroups);
  ASSERT_EQ(result.size(), 1u);
  EXPECT_EQ(result.at(JointGroup::ALL).pt_name, "Hold");
  EXPECT_EQ(result.at(JointGroup::ALL).names_and_values.at("t"), PrimitiveValue(1.5));
  ScriptedRobot empty({Strings{}});  // an empty reply is not corrupted: no retry, no records
  EXPECT_TRUE(QueryPrimitiveStates(std::ref(empty), kAllGroups).empty());
  EXPECT_EQ(empty.requests(), 1u);
}

}  // namespace
