#pragma once

// Unicode-aware text helpers over ICU. Every function takes and returns UTF-8.

#include <cstddef>
#include <string>
#include <string_view>

namespace trayline::text {

// Removes leading and trailing Unicode white space and line breaks.
std::string trimmed(std::string_view s);
// Removes leading and trailing spaces and tabs only.
std::string trimmedSpacesAndTabs(std::string_view s);
// The first `count` user-perceived characters (extended grapheme clusters).
std::string prefixGraphemes(std::string_view s, std::size_t count);
// Case-insensitive equality (full Unicode case folding).
bool equalsIgnoringCase(std::string_view a, std::string_view b);
// Lower-cases with full Unicode rules (locale-independent).
std::string lowercased(std::string_view s);
// True for 0-9, a-f, A-F and their full-width forms.
bool isHexDigit(char32_t c);
// True when `s` (taken as is) is exactly 32 hexadecimal digits in the sense of isHexDigit.
bool isSysID(std::string_view s);
// True when `s` is valid UTF-8.
bool isValidUtf8(std::string_view s);
// Replaces every invalid UTF-8 sequence by U+FFFD.
std::string sanitizedUtf8(std::string_view s);

// Percent-encoding. Every encoder writes "%" and two upper-case hex digits per UTF-8 byte.
// URL query component: keeps ASCII letters, digits, "-._~" and "!$'()*,;:@/?"; encodes the rest
// (so "&", "=", "+", "#", "%", "^" and spaces never change meaning inside a query value).
std::string encodeQueryComponent(std::string_view s);
// URL path segment: keeps ASCII letters, digits, "-._~" and "!$&'()*+,;=:@"; "/" is encoded.
std::string encodePathSegment(std::string_view s);
// Form bodies: keeps Unicode letters, marks and numbers (L*, M*, N*) and "-._~".
std::string encodeFormComponent(std::string_view s);
// Instance list links: keeps Unicode letters, marks and decimal digits (L*, M*, Nd) and "-._~".
std::string encodeListLinkQuery(std::string_view s);
// Keeps ASCII letters, digits and "-._~" only.
std::string encodeAsciiUnreserved(std::string_view s);
// Decodes %XX sequences; "+" stays "+". Malformed escapes are kept literally.
std::string percentDecode(std::string_view s);

}  // namespace trayline::text
