#include "core/mcp/message.h"

#include <utility>

namespace trayline::mcp {

namespace {

using Json = nlohmann::json;
using DomParser = nlohmann::detail::json_sax_dom_parser<Json>;

// Builds the document through nlohmann's own DOM builder while counting depth (refusing documents
// that nest too deep) and noting the original text of a numeric top-level "id".
class LimitedSax {
public:
    explicit LimitedSax(Json& root) : dom_(root, false) {}

    bool null() { return scalarAtId() && dom_.null(); }
    bool boolean(bool v) { return scalarAtId() && dom_.boolean(v); }
    bool number_integer(Json::number_integer_t v) {
        if (atId())
            idNumber_ = std::to_string(v);
        return dom_.number_integer(v);
    }
    bool number_unsigned(Json::number_unsigned_t v) {
        if (atId())
            idNumber_ = std::to_string(v);
        return dom_.number_unsigned(v);
    }
    bool number_float(Json::number_float_t v, const std::string& s) {
        if (atId())
            idNumber_ = presetId_ ? *std::exchange(presetId_, std::nullopt) : s;
        return dom_.number_float(v, s);
    }
    bool string(std::string& s) {
        return scalarAtId() && dom_.string(s);
    }
    bool binary(Json::binary_t& b) { return dom_.binary(b); }
    bool start_object(std::size_t n) { return open() && dom_.start_object(n); }
    bool end_object() {
        --depth_;
        return dom_.end_object();
    }
    bool start_array(std::size_t n) { return open() && dom_.start_array(n); }
    bool end_array() {
        --depth_;
        return dom_.end_array();
    }
    bool key(std::string& k) {
        if (depth_ == 1)
            topKeyIsId_ = k == "id";
        return dom_.key(k);
    }
    bool parse_error(std::size_t position, const std::string& token, const nlohmann::detail::exception& e) {
        // A valid number beyond double range ("id": 1e400) is refused by the parser; remember
        // where it was so the caller can reparse with a stand-in and echo the original text.
        if (e.id == 406 && atId())
            overflowedId_ = Overflow{position, token};
        return dom_.parse_error(position, token, e);
    }

    struct Overflow {
        std::size_t end;    // byte offset just past the number
        std::string token;  // the number as written
    };
    const std::optional<std::string>& idNumber() const { return idNumber_; }
    const std::optional<Overflow>& overflowedId() const { return overflowedId_; }
    void presetIdNumber(std::string text) { presetId_ = std::move(text); }

private:
    bool atId() const { return depth_ == 1 && topKeyIsId_; }
    // Any non-number at the "id" position drops an earlier duplicate's number text.
    bool scalarAtId() {
        if (atId())
            idNumber_.reset();
        return true;
    }
    bool open() {
        if (atId())
            idNumber_.reset();
        return ++depth_ <= kMaxNesting;
    }

    DomParser dom_;
    std::size_t depth_ = 0;
    bool topKeyIsId_ = false;
    std::optional<std::string> idNumber_;
    std::optional<Overflow> overflowedId_;
    std::optional<std::string> presetId_;
};

}  // namespace

namespace {

std::optional<Message> finish(Json root, const LimitedSax& sax) {
    if (!root.is_object())
        return std::nullopt;
    Message m;
    if (const auto it = root.find("id"); it != root.end()) {
        if (it->is_number() && sax.idNumber())
            m.idText = *sax.idNumber();
        else
            m.idText = it->dump(-1, ' ', false, Json::error_handler_t::replace);
    }
    m.object = std::move(root);
    return m;
}

}  // namespace

std::optional<Message> parseMessage(std::string_view text) {
    Json root;
    LimitedSax sax(root);
    if (Json::sax_parse(text.begin(), text.end(), &sax, Json::input_format_t::json, true))
        return finish(std::move(root), sax);
    if (!sax.overflowedId())
        return std::nullopt;
    // Reparse with a finite stand-in for the id; the echo keeps the original spelling.
    const auto& [end, token] = *sax.overflowedId();
    if (end < token.size() || end > text.size())
        return std::nullopt;
    std::string patched(text.substr(0, end - token.size()));
    patched += "0.0";
    patched += text.substr(end);
    Json retryRoot;
    LimitedSax retry(retryRoot);
    retry.presetIdNumber(token);
    if (!Json::sax_parse(patched.begin(), patched.end(), &retry, Json::input_format_t::json, true))
        return std::nullopt;
    return finish(std::move(retryRoot), retry);
}

}  // namespace trayline::mcp
