#include "core/platform/text.h"

#include <gtest/gtest.h>

namespace trayline::text {
namespace {

TEST(Text, TrimsUnicodeWhiteSpaceAndLineBreaksOnly) {
    EXPECT_EQ(trimmed(" \t\r\n hello world \u00A0\u2028\u3000\n"), "hello world");
    EXPECT_EQ(trimmed("\u0085x\u0085"), "x");
    EXPECT_EQ(trimmed("   "), "");
    EXPECT_EQ(trimmed(""), "");
    EXPECT_EQ(trimmed("a\nb"), "a\nb");
    EXPECT_EQ(trimmedSpacesAndTabs(" \t a \n\t "), "a \n");
}

TEST(Text, PrefixCountsUserPerceivedCharacters) {
    // Family emoji (one grapheme of seven code points) and a decomposed "é".
    const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466";
    EXPECT_EQ(prefixGraphemes(family + "ab", 2), family + "a");
    EXPECT_EQ(prefixGraphemes("e\u0301xyz", 1), "e\u0301");
    EXPECT_EQ(prefixGraphemes("short", 200), "short");
    EXPECT_EQ(prefixGraphemes("abc", 0), "");
}

TEST(Text, CaseInsensitiveEqualityFoldsUnicode) {
    EXPECT_TRUE(equalsIgnoringCase("ME", "me"));
    EXPECT_TRUE(equalsIgnoringCase("Straße", "STRASSE"));
    EXPECT_FALSE(equalsIgnoringCase("me", "mee"));
    EXPECT_EQ(lowercased("ÄBC"), "äbc");
}

struct SysIdCase {
    std::string text;
    bool expected;
};
class SysIdTest : public ::testing::TestWithParam<SysIdCase> {};

TEST_P(SysIdTest, RecognisesExactlyThirtyTwoHexDigits) { EXPECT_EQ(isSysID(GetParam().text), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Forms, SysIdTest,
    ::testing::Values(SysIdCase{"0123456789abcdef0123456789abcdef", true},
                      SysIdCase{"0123456789ABCDEF0123456789ABCDEF", true},
                      SysIdCase{"\uFF10\uFF11\uFF21\uFF41" + std::string(28, 'a'), true},
                      SysIdCase{std::string(31, 'a'), false}, SysIdCase{std::string(33, 'a'), false},
                      SysIdCase{std::string(31, 'a') + "g", false},
                      SysIdCase{"SCTASK0010001", false}, SysIdCase{"", false},
                      SysIdCase{std::string(31, 'a') + "\xFF", false}));

TEST(Text, FormEncodingKeepsUnicodeLettersAndNeverUsesPlus) {
    EXPECT_EQ(encodeFormComponent("a b=c&d+e"), "a%20b%3Dc%26d%2Be");
    EXPECT_EQ(encodeFormComponent("http://localhost:8765/callback"),
              "http%3A%2F%2Flocalhost%3A8765%2Fcallback");
    EXPECT_EQ(encodeFormComponent("Zürich-½_~."), "Zürich-½_~.");  // ½ is a number (No)
    EXPECT_EQ(encodeFormComponent("日本"), "日本");
    EXPECT_EQ(encodeFormComponent("€"), "%E2%82%AC");
}

TEST(Text, ListLinkEncodingKeepsOnlyDecimalDigitsAmongNumbers) {
    EXPECT_EQ(encodeListLinkQuery("assignment_group=abc^stateIN1,2,3"),
              "assignment_group%3Dabc%5EstateIN1%2C2%2C3");
    EXPECT_EQ(encodeListLinkQuery("½é"), "%C2%BDé");
}

TEST(Text, AsciiEncodingEncodesEveryNonAsciiByte) {
    EXPECT_EQ(encodeAsciiUnreserved("é^a-b"), "%C3%A9%5Ea-b");
}

TEST(Text, QueryComponentEncodingProtectsQuerySyntax) {
    EXPECT_EQ(encodeQueryComponent("a=b&c+d#e%f^g h"), "a%3Db%26c%2Bd%23e%25f%5Eg%20h");
    EXPECT_EQ(encodeQueryComponent("http://localhost:8765/callback"),
              "http://localhost:8765/callback");
    EXPECT_EQ(encodeQueryComponent("ä@x"), "%C3%A4@x");
}

TEST(Text, PathSegmentEncodingEncodesSlashesAndQueries) {
    EXPECT_EQ(encodePathSegment("sc_task/../x?y"), "sc_task%2F..%2Fx%3Fy");
}

TEST(Text, PercentDecodingLeavesPlusAndMalformedEscapes) {
    EXPECT_EQ(percentDecode("a%2Bb+c%20d"), "a+b+c d");
    EXPECT_EQ(percentDecode("100%"), "100%");
    EXPECT_EQ(percentDecode("%zz%4"), "%zz%4");
    EXPECT_EQ(percentDecode("%C3%A9"), "é");
}

TEST(Text, InvalidUtf8IsDetectedAndReplaced) {
    EXPECT_TRUE(isValidUtf8("plain é"));
    EXPECT_FALSE(isValidUtf8("bad \xC3("));
    EXPECT_EQ(sanitizedUtf8("a\xFF" "b"), "a\uFFFDb");
}

}  // namespace
}  // namespace trayline::text
