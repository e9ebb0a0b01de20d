#include "core/platform/text.h"

#include <unicode/ubrk.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <memory>

namespace trayline::text {

namespace {

// Calls f(codePoint, begin, end) for each code point; invalid bytes arrive as c < 0.
template <typename F>
void forEachCodePoint(std::string_view s, F&& f) {
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    const auto length = static_cast<int32_t>(s.size());
    int32_t i = 0;
    while (i < length) {
        const int32_t start = i;
        UChar32 c;
        U8_NEXT(p, i, length, c);
        f(c, static_cast<std::size_t>(start), static_cast<std::size_t>(i));
    }
}

bool isWhiteSpaceOrNewline(UChar32 c) {
    return c >= 0 && (u_hasBinaryProperty(c, UCHAR_WHITE_SPACE) || c == 0x85);
}

bool isAsciiUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

void appendEscaped(std::string& out, std::string_view bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const unsigned char b : bytes) {
        out += '%';
        out += kHex[b >> 4];
        out += kHex[b & 0xF];
    }
}

// Encodes every code point for which keep() is false.
template <typename Keep>
std::string encodeWith(std::string_view s, Keep&& keep) {
    std::string out;
    out.reserve(s.size());
    forEachCodePoint(s, [&](UChar32 c, std::size_t b, std::size_t e) {
        const auto piece = s.substr(b, e - b);
        if (c >= 0 && keep(c))
            out += piece;
        else
            appendEscaped(out, piece);
    });
    return out;
}

bool inCategories(UChar32 c, uint32_t mask) { return (U_GET_GC_MASK(c) & mask) != 0; }

struct BreakIteratorCloser {
    void operator()(UBreakIterator* b) const { ubrk_close(b); }
};
struct UTextCloser {
    void operator()(UText* t) const { utext_close(t); }
};

std::u16string_view view(const icu::UnicodeString& u) {
    return {reinterpret_cast<const char16_t*>(u.getBuffer()), static_cast<std::size_t>(u.length())};
}

}  // namespace

std::string trimmed(std::string_view s) {
    std::size_t first = s.size(), last = 0;
    forEachCodePoint(s, [&](UChar32 c, std::size_t b, std::size_t e) {
        if (isWhiteSpaceOrNewline(c))
            return;
        if (first == s.size())
            first = b;
        last = e;
    });
    return first == s.size() ? std::string{} : std::string(s.substr(first, last - first));
}

std::string trimmedSpacesAndTabs(std::string_view s) {
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos)
        return {};
    const auto e = s.find_last_not_of(" \t");
    return std::string(s.substr(b, e - b + 1));
}

std::string prefixGraphemes(std::string_view s, std::size_t count) {
    if (count == 0)
        return {};
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UText, UTextCloser> ut(
        utext_openUTF8(nullptr, s.data(), static_cast<int64_t>(s.size()), &status));
    std::unique_ptr<UBreakIterator, BreakIteratorCloser> bi(
        ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status));
    if (U_FAILURE(status))
        return std::string(s);
    ubrk_setUText(bi.get(), ut.get(), &status);
    if (U_FAILURE(status))
        return std::string(s);
    int32_t end = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const int32_t next = ubrk_next(bi.get());
        if (next == UBRK_DONE)
            return std::string(s);
        end = next;
    }
    return std::string(s.substr(0, static_cast<std::size_t>(end)));
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    auto fa = icu::UnicodeString::fromUTF8(icu::StringPiece(a.data(), static_cast<int32_t>(a.size())));
    auto fb = icu::UnicodeString::fromUTF8(icu::StringPiece(b.data(), static_cast<int32_t>(b.size())));
    fa.foldCase();
    fb.foldCase();
    return view(fa) == view(fb);
}

std::string lowercased(std::string_view s) {
    auto u = icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
    u.toLower(icu::Locale::getRoot());
    std::string out;
    u.toUTF8String(out);
    return out;
}

bool isHexDigit(char32_t c) {
    return (c >= U'0' && c <= U'9') || (c >= U'a' && c <= U'f') || (c >= U'A' && c <= U'F') ||
           (c >= 0xFF10 && c <= 0xFF19) || (c >= 0xFF21 && c <= 0xFF26) ||
           (c >= 0xFF41 && c <= 0xFF46);
}

bool isSysID(std::string_view s) {
    std::size_t count = 0;
    bool allHex = true;
    forEachCodePoint(s, [&](UChar32 c, std::size_t, std::size_t) {
        ++count;
        allHex = allHex && c >= 0 && isHexDigit(static_cast<char32_t>(c));
    });
    return allHex && count == 32;
}

bool isValidUtf8(std::string_view s) {
    bool ok = true;
    forEachCodePoint(s, [&](UChar32 c, std::size_t, std::size_t) { ok = ok && c >= 0; });
    return ok;
}

std::string sanitizedUtf8(std::string_view s) {
    if (isValidUtf8(s))
        return std::string(s);
    std::string out;
    out.reserve(s.size());
    forEachCodePoint(s, [&](UChar32 c, std::size_t b, std::size_t e) {
        if (c >= 0)
            out += s.substr(b, e - b);
        else
            out += "\xEF\xBF\xBD";
    });
    return out;
}

std::string encodeQueryComponent(std::string_view s) {
    return encodeWith(s, [](UChar32 c) {
        return c < 0x80 && (isAsciiUnreserved(static_cast<unsigned char>(c)) ||
                            std::string_view("!$'()*,;:@/?").find(static_cast<char>(c)) !=
                                std::string_view::npos);
    });
}

std::string encodePathSegment(std::string_view s) {
    return encodeWith(s, [](UChar32 c) {
        return c < 0x80 && (isAsciiUnreserved(static_cast<unsigned char>(c)) ||
                            std::string_view("!$&'()*+,;=:@").find(static_cast<char>(c)) !=
                                std::string_view::npos);
    });
}

std::string encodeFormComponent(std::string_view s) {
    return encodeWith(s, [](UChar32 c) {
        return (c < 0x80 && isAsciiUnreserved(static_cast<unsigned char>(c))) ||
               inCategories(c, U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK);
    });
}

std::string encodeListLinkQuery(std::string_view s) {
    return encodeWith(s, [](UChar32 c) {
        return (c < 0x80 && isAsciiUnreserved(static_cast<unsigned char>(c))) ||
               inCategories(c, U_GC_L_MASK | U_GC_M_MASK | U_GC_ND_MASK);
    });
}

std::string encodeAsciiUnreserved(std::string_view s) {
    return encodeWith(s, [](UChar32 c) {
        return c < 0x80 && isAsciiUnreserved(static_cast<unsigned char>(c));
    });
}

std::string percentDecode(std::string_view s) {
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
            out += static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

}  // namespace trayline::text
