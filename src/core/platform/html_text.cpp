#include "core/platform/html_text.h"

#include <array>
#include <utility>

namespace trayline::text {

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Position of `needle` (lower case) in `s` from `from`, ignoring ASCII case.
std::size_t findCaseless(std::string_view s, std::string_view needle, std::size_t from = 0) {
    for (std::size_t i = from; i + needle.size() <= s.size(); ++i) {
        std::size_t k = 0;
        while (k < needle.size() && lower(s[i + k]) == needle[k])
            ++k;
        if (k == needle.size())
            return i;
    }
    return std::string_view::npos;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

void appendEntity(std::string& out, std::string_view name) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 6> kNamed{
        {{"amp", "&"}, {"lt", "<"}, {"gt", ">"}, {"quot", "\""}, {"apos", "'"}, {"nbsp", " "}}};
    for (const auto& [n, v] : kNamed)
        if (n == name)
            return out.append(v), void();
    if (name.size() > 1 && name[0] == '#') {
        const bool hex = name[1] == 'x' || name[1] == 'X';
        unsigned long cp = 0;
        for (char c : name.substr(hex ? 2 : 1)) {
            const int d = c >= '0' && c <= '9' ? c - '0' : hex && lower(c) >= 'a' && lower(c) <= 'f' ? lower(c) - 'a' + 10 : -1;
            if (d < 0 || cp > 0x10FFFF)
                return out.append("&").append(name).append(";"), void();
            cp = cp * (hex ? 16 : 10) + static_cast<unsigned long>(d);
        }
        if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return;
        // UTF-8 of the code point.
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
        return;
    }
    out.append("&").append(name).append(";");
}

// Text of a fragment: tags dropped (and whole script and style elements), entities decoded, runs of
// white space made one space, trimmed.
std::string textOf(std::string_view html) {
    std::string raw;
    for (std::size_t i = 0; i < html.size();) {
        const char c = html[i];
        if (c == '<') {
            for (std::string_view element : {"script", "style"}) {
                if (findCaseless(html.substr(i + 1, element.size()), element) == 0) {
                    const auto close = findCaseless(html, "</" + std::string(element), i);
                    i = close == std::string_view::npos ? html.size() : close;
                    break;
                }
            }
            const auto end = html.find('>', i);
            i = end == std::string_view::npos ? html.size() : end + 1;
            raw += ' ';  // a tag separates words
        } else if (c == '&') {
            const auto semi = html.find(';', i);
            if (semi != std::string_view::npos && semi - i <= 10) {
                appendEntity(raw, html.substr(i + 1, semi - i - 1));
                i = semi + 1;
            } else {
                raw += c;
                ++i;
            }
        } else {
            raw += c;
            ++i;
        }
    }
    std::string out;
    for (char ch : raw) {
        if (isSpace(ch)) {
            if (!out.empty() && out.back() != ' ')
                out += ' ';
        } else {
            out += ch;
        }
    }
    if (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

}  // namespace

std::string htmlSummary(std::string_view html) {
    if (const auto open = findCaseless(html, "<title"); open != std::string_view::npos) {
        const auto start = html.find('>', open);
        const auto close = findCaseless(html, "</title", open);
        if (start != std::string_view::npos && close != std::string_view::npos && start < close) {
            auto title = textOf(html.substr(start + 1, close - start - 1));
            if (!title.empty())
                return title;
        }
    }
    return textOf(html);
}

bool isHtmlContentType(std::string_view contentType) {
    std::size_t i = 0;
    while (i < contentType.size() && isSpace(contentType[i]))
        ++i;
    return findCaseless(contentType.substr(i), "text/html") == 0 ||
           findCaseless(contentType.substr(i), "application/xhtml+xml") == 0;
}

}  // namespace trayline::text
