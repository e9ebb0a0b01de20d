#pragma once

#include <string>
#include <string_view>

namespace trayline::text {

// What an HTML page says in one line: its title, else its text without tags, scripts and styles;
// the common entities decoded and white space collapsed. A proxy's "502 Bad Gateway" page reads
// "502 Bad Gateway" instead of its markup.
std::string htmlSummary(std::string_view html);

// Whether a Content-Type names an HTML document ("text/html; charset=utf-8").
bool isHtmlContentType(std::string_view contentType);

}  // namespace trayline::text
