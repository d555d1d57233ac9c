// Serial number check: every accepted spelling with its canonical form, every refused one.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "client/serial_number.h"

namespace {

using korvan::tyr_impl::NormalizeSerialNumber;

struct Case {
  const char* name;
  std::string input;
  const char* canonical;  // nullptr: refused
};

const Case kCases[] = {
    {"SingleModelWordUnchanged", "KV7-0042", "KV7-0042"},
    {"SpaceBetweenModelWordsBecomesHyphen", "KV 7-0042", "KV-7-0042"},
    {"HyphenBetweenModelWordsUnchanged", "KV-7-0042", "KV-7-0042"},
    {"MixedSeparatorsJoinedByHyphens", "Tyr KV 7-Pro-A1", "Tyr-KV-7-Pro-A1"},
    {"LetterCaseKept", "kV7x-aB12", "kV7x-aB12"},
    {"UnitPartMayHoldASlash", "KV7-00/42", "KV7-00/42"},
    {"UnitPartMayHoldADot", "KV7-00.42", "KV7-00.42"},
    {"UnitPartMayHoldASpace", "KV7-00 42", "KV7-00 42"},
    {"UnitPartMayHoldNonAscii", "KV7-\xc3\xa9t\xc3\xa9", "KV7-\xc3\xa9t\xc3\xa9"},
    {"SingleCharacterParts", "K-1", "K-1"},

    {"Empty", "", nullptr},
    {"NoHyphen", "KV70042", nullptr},
    {"OnlyAHyphen", "-", nullptr},
    {"StartsWithHyphen", "-KV7", nullptr},
    {"EndsWithHyphen", "KV7-", nullptr},
    {"EndsWithTwoHyphens", "KV7-0042--", nullptr},
    {"UnderscoreInModelPart", "KV_7-0042", nullptr},
    {"UnderscoreInUnitPart", "KV7-00_42", nullptr},
    {"TwoSpacesInARow", "KV  7-0042", nullptr},
    {"SpaceThenHyphenInModelPart", "KV -7-0042", nullptr},
    {"SpaceBeforeLastHyphen", "KV7 -0042", nullptr},
    {"LeadingSpace", " KV7-0042", nullptr},
    {"TwoHyphensInModelPart", "KV--7-0042", nullptr},
    {"DotInModelPart", "KV.7-0042", nullptr},
    {"SlashInModelPart", "KV/7-0042", nullptr},
    {"NonAsciiLetterInModelPart", "K\xc3\xa9V7-0042", nullptr},
    {"ZeroByteInModelPart", std::string("KV") + '\0' + "7-0042", nullptr},
    // These would make the robot's key expressions wildcards that match other robots.
    {"UnitPartSlashStar", "KV7-0042/*", nullptr},
    {"UnitPartSlashDoubleStar", "KV7-0042/**", nullptr},
    {"UnitPartDollarStar", "KV7-00$*", nullptr},
    {"UnitPartOnlyStar", "KV7-*", nullptr},
    {"UnitPartOnlyDoubleStar", "KV7-**", nullptr},
    {"UnitPartDollarAlone", "KV7-00$42", nullptr},
};

class SerialNumber : public testing::TestWithParam<Case> {};

TEST_P(SerialNumber, CanonicalFormOrRefusal) {
  const Case& c = GetParam();
  if (c.canonical != nullptr) {
    EXPECT_EQ(NormalizeSerialNumber(c.input), c.canonical);
    return;
  }
  try {
    NormalizeSerialNumber(c.input);
    ADD_FAILURE() << "accepted: " << c.input;
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(),
                 "[korvan::tyr::Client] Format of the provided robot serial number is invalid");
  }
}

TEST(SerialNumberForms, BothSpellingsOfAModelNameTheSameRobot) {
  EXPECT_EQ(NormalizeSerialNumber("Tyr Mk2-7"), NormalizeSerialNumber("Tyr-Mk2-7"));
}

INSTANTIATE_TEST_SUITE_P(AllCases, SerialNumber, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
