#include "core/platform/text.h"

#include <gtest/gtest.h>

namespace trayline::text {
namespace {

TEST(Text, TransformsTakeAndGiveUtf8) {
    const std::tuple<std::string (*)(std::string_view), std::string, std::string> rows[] = {
        {trimmed, " \t\r\n hello world \u00A0\u2028\u3000\n", "hello world"},
        {trimmed, "\u0085x\u0085", "x"},
        {trimmed, "a\nb", "a\nb"},
        {trimmedSpacesAndTabs, " \t a \n\t ", "a \n"},
        {lowercased, "ÄBC", "äbc"},
        {sanitizedUtf8, "a\xFF" "b", "a\uFFFDb"},
        // Form bodies keep Unicode letters and numbers (½ is a number, No) and never use "+".
        {encodeFormComponent, "a b=c&d+e", "a%20b%3Dc%26d%2Be"},
        {encodeFormComponent, "Zürich-½_~.", "Zürich-½_~."},
        {encodeFormComponent, "日本€", "日本%E2%82%AC"},
        // List links keep only decimal digits among numbers.
        {encodeListLinkQuery, "assignment_group=abc^stateIN1,2,3",
         "assignment_group%3Dabc%5EstateIN1%2C2%2C3"},
        {encodeListLinkQuery, "½é", "%C2%BDé"},
        {encodeAsciiUnreserved, "é^a-b", "%C3%A9%5Ea-b"},
        {encodeQueryComponent, "a=b&c+d#e%f^g h", "a%3Db%26c%2Bd%23e%25f%5Eg%20h"},
        {encodeQueryComponent, "ä@x", "%C3%A4@x"},
        {encodePathSegment, "sc_task/../x?y", "sc_task%2F..%2Fx%3Fy"},
        // "+" stays "+" and malformed escapes stay as they are.
        {percentDecode, "a%2Bb+c%20d", "a+b+c d"},
        {percentDecode, "%zz%4", "%zz%4"},
        {percentDecode, "%C3%A9", "é"},
    };
    for (const auto& [transform, text, expected] : rows)
        EXPECT_EQ(transform(text), expected) << text;
}

}  // namespace
}  // namespace trayline::text
