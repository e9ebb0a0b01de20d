#include "core/platform/text.h"

#include <gtest/gtest.h>

namespace trayline::text {
namespace {

TEST(Text, TransformsTakeAndGiveUtf8) {
    const std::tuple<std::string (*)(std::string_view), std::string, std::string> rows[] = {
        {trimmed, " \t\r\n hello world \u00A0\u2028\u3000\n", "hello world"},
        {trimmed, "\u0085x\u0085", "x"},
        {trimmed, "   ", ""},
        {trimmed, "a\nb", "a\nb"},
        {trimmedSpacesAndTabs, " \t a \n\t ", "a \n"},
        {lowercased, "ÄBC", "äbc"},
        {sanitizedUtf8, "a\xFF" "b", "a\uFFFDb"},
        // Form bodies keep Unicode letters and numbers (½ is a number, No) and never use "+".
        {encodeFormComponent, "a b=c&d+e", "a%20b%3Dc%26d%2Be"},
        {encodeFormComponent, "http://localhost:8765/callback", "http%3A%2F%2Flocalhost%3A8765%2Fcallback"},
        {encodeFormComponent, "Zürich-½_~.", "Zürich-½_~."},
        {encodeFormComponent, "日本€", "日本%E2%82%AC"},
        // List links keep only decimal digits among numbers.
        {encodeListLinkQuery, "assignment_group=abc^stateIN1,2,3",
         "assignment_group%3Dabc%5EstateIN1%2C2%2C3"},
        {encodeListLinkQuery, "½é", "%C2%BDé"},
        {encodeAsciiUnreserved, "é^a-b", "%C3%A9%5Ea-b"},
        {encodeQueryComponent, "a=b&c+d#e%f^g h", "a%3Db%26c%2Bd%23e%25f%5Eg%20h"},
        {encodeQueryComponent, "http://localhost:8765/callback", "http://localhost:8765/callback"},
        {encodeQueryComponent, "ä@x", "%C3%A4@x"},
        {encodePathSegment, "sc_task/../x?y", "sc_task%2F..%2Fx%3Fy"},
        // "+" stays "+" and malformed escapes stay as they are.
        {percentDecode, "a%2Bb+c%20d", "a+b+c d"},
        {percentDecode, "100%", "100%"},
        {percentDecode, "%zz%4", "%zz%4"},
        {percentDecode, "%C3%A9", "é"},
    };
    for (const auto& [transform, text, expected] : rows)
        EXPECT_EQ(transform(text), expected) << text;
}

TEST(Text, PrefixCountsUserPerceivedCharacters) {
    // Family emoji (one grapheme of seven code points) and a decomposed "é".
    const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466";
    EXPECT_EQ(prefixGraphemes(family + "ab", 2), family + "a");
    EXPECT_EQ(prefixGraphemes("e\u0301xyz", 1), "e\u0301");
    EXPECT_EQ(prefixGraphemes("short", 200), "short");
    EXPECT_EQ(prefixGraphemes("abc", 0), "");
}

TEST(Text, CaseInsensitiveEqualityFoldsUnicodeAndUtf8IsValidated) {
    EXPECT_TRUE(equalsIgnoringCase("Straße", "STRASSE"));
    EXPECT_FALSE(equalsIgnoringCase("me", "mee"));
    EXPECT_TRUE(isValidUtf8("plain é"));
    EXPECT_FALSE(isValidUtf8("bad \xC3("));
}

}  // namespace
}  // namespace trayline::text
