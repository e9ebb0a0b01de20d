#include "core/servicenow/sn_user.h"

#include <nlohmann/json.hpp>

#include "core/platform/decoding_error.h"
#include "core/platform/text.h"

namespace trayline {

namespace {

std::optional<std::string> optionalString(const nlohmann::json& obj, const char* key, const char* what) {
    const auto it = obj.find(key);
    if (it == obj.end() || it->is_null())
        return std::nullopt;
    if (!it->is_string())
        throw DecodingError(std::string("The instance's reply has a ") + what + " whose \"" + key +
                            "\" is not text.");
    return it->get<std::string>();
}

std::string requiredString(const nlohmann::json& obj, const char* key) {
    const auto it = obj.find(key);
    if (it == obj.end() || !it->is_string())
        throw DecodingError(std::string("The instance's reply has a user without a text \"") + key +
                            "\".");
    return it->get<std::string>();
}

nlohmann::json parseEnvelope(std::string_view body) {
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(body);
    } catch (const nlohmann::json::exception& e) {  // also number overflow, not only syntax
        throw DecodingError(std::string("The instance's reply is not valid JSON (") + e.what() + ").");
    }
    if (!j.is_object())
        throw DecodingError("The instance's reply is not a JSON object.");
    const auto it = j.find("result");
    if (it == j.end() || !it->is_array())
        throw DecodingError("The instance's reply has no \"result\" list.");
    return std::move(*it);
}

template <typename T>
std::vector<T> decodeList(std::string_view body) {
    const auto result = parseEnvelope(body);
    std::vector<T> out;
    out.reserve(result.size());
    for (const auto& element : result)
        out.push_back(T::fromJson(element));
    return out;
}

}  // namespace

SNUser SNUser::fromJson(const nlohmann::json& j) {
    if (!j.is_object())
        throw DecodingError("A user in the instance's reply is not a JSON object.");
    return SNUser{requiredString(j, "sys_id"), requiredString(j, "name"), optionalString(j, "email", "user")};
}

SNGroupMemberRow SNGroupMemberRow::fromJson(const nlohmann::json& j) {
    if (!j.is_object())
        throw DecodingError("A group member in the instance's reply is not a JSON object.");
    return SNGroupMemberRow{optionalString(j, "user.sys_id", "group member"),
                            optionalString(j, "user.name", "group member"),
                            optionalString(j, "user.email", "group member")};
}

std::vector<SNUser> decodeUserList(std::string_view body) { return decodeList<SNUser>(body); }
std::vector<SNGroupMemberRow> decodeGroupMemberList(std::string_view body) {
    return decodeList<SNGroupMemberRow>(body);
}

TaskReference TaskReference::parse(std::string_view reference) {
    auto t = text::trimmed(reference);
    const auto kind = text::isSysID(t) ? Kind::sysID : Kind::number;
    return TaskReference{kind, std::move(t)};
}

UserReference UserReference::parse(std::string_view reference) {
    auto t = text::trimmed(reference);
    if (text::equalsIgnoringCase(t, "me"))
        return UserReference{Kind::me, std::move(t)};
    const auto kind = text::isSysID(t) ? Kind::sysID : Kind::name;
    return UserReference{kind, std::move(t)};
}

}  // namespace trayline
