// Streaming decoder for task lists. The watcher decodes four lists of up to a hundred tasks on
// every poll; building a JSON tree first costs several times the decode itself, so the reply is
// read as a stream of events straight into the records. Same rules as SNTask::fromJson.

#include <cmath>
#include <nlohmann/json.hpp>

#include "core/platform/decoding_error.h"
#include "core/servicenow/sn_task_members.h"
#include "core/servicenow/sn_user.h"

namespace trayline {

namespace {

using json = nlohmann::json;


class TaskListHandler : public nlohmann::json_sax<json> {
public:
    std::vector<SNTask> tasks;
    bool sawResult = false;
    std::string error;

    bool null() override { return scalar(Scalar::none, {}); }
    bool boolean(bool v) override { return scalar(Scalar::boolean, v ? "true" : "false"); }
    bool number_integer(number_integer_t v) override { return scalar(Scalar::number, std::to_string(v)); }
    bool number_unsigned(number_unsigned_t v) override {
        return scalar(Scalar::number, lenientText(json(v), false));
    }
    bool number_float(number_float_t v, const string_t&) override {
        return scalar(Scalar::number, lenientText(json(v), false));
    }
    bool string(string_t& v) override { return scalar(Scalar::text, std::move(v)); }
    bool binary(binary_t&) override { return scalar(Scalar::none, {}); }

    bool start_object(std::size_t) override { return open(true); }
    bool start_array(std::size_t) override { return open(false); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }

    bool key(string_t& k) override {
        if (skipDepth_ > 0)
            return true;
        switch (level_) {
        case Level::envelope:
            expect_ = k == "result" ? Expect::result : Expect::skip;
            break;
        case Level::task:
            member_ = nullptr;
            for (const auto& [name, field] : detail::kTaskMembers)
                if (name == k)
                    member_ = field;
            expect_ = member_ ? Expect::member : Expect::skip;
            if (member_ == &SNTask::assignedTo)
                tasks.back().assigneeKnown = true;
            break;
        case Level::fieldObject:
            part_ = k == "value" ? &SNField::value : k == "display_value" ? &SNField::display : nullptr;
            expect_ = part_ ? Expect::part : Expect::skip;
            break;
        default:
            break;
        }
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
        error = std::string("The instance's reply is not valid JSON (") + e.what() + ").";
        return false;
    }

private:
    enum class Level { top, envelope, result, task, fieldObject };
    enum class Expect { none, result, member, part, skip };
    enum class Scalar { none, boolean, number, text };

    bool fail(std::string message) {
        error = std::move(message);
        return false;
    }

    bool scalar(Scalar kind, std::string value) {
        if (skipDepth_ > 0)
            return true;
        switch (level_) {
        case Level::top:
            return fail("The instance's reply is not a JSON object.");
        case Level::envelope:
            if (expect_ == Expect::result)
                return fail("The instance's reply has no \"result\" list.");
            return true;
        case Level::result:
            return fail("A task in the instance's reply is not a JSON object.");
        case Level::task:
            if (expect_ == Expect::member) {
                // Plain values: text and numbers fill both parts; anything else leaves the field empty.
                const bool usable = kind == Scalar::text || kind == Scalar::number;
                tasks.back().*member_ = usable ? SNField{value, value} : SNField::empty;
            }
            return true;
        case Level::fieldObject:
            if (expect_ == Expect::part)
                tasks.back().*member_.*part_ = kind == Scalar::none ? std::string{} : std::move(value);
            return true;
        }
        return true;
    }

    bool open(bool isObject) {
        if (skipDepth_ > 0) {
            ++skipDepth_;
            return true;
        }
        switch (level_) {
        case Level::top:
            if (!isObject)
                return fail("The instance's reply is not a JSON object.");
            level_ = Level::envelope;
            return true;
        case Level::envelope:
            if (expect_ == Expect::result) {
                if (isObject)
                    return fail("The instance's reply has no \"result\" list.");
                sawResult = true;
                tasks.clear();  // a repeated "result" replaces the earlier one
                level_ = Level::result;
                return true;
            }
            break;
        case Level::result:
            if (!isObject)
                return fail("A task in the instance's reply is not a JSON object.");
            tasks.emplace_back().assigneeKnown = false;  // until its "assigned_to" turns up
            level_ = Level::task;
            return true;
        case Level::task:
            if (expect_ == Expect::member) {
                tasks.back().*member_ = SNField::empty;
                if (isObject) {
                    level_ = Level::fieldObject;
                    return true;
                }
            }
            break;
        case Level::fieldObject:
            if (expect_ == Expect::part)
                tasks.back().*member_.*part_ = std::string{};
            break;
        }
        skipDepth_ = 1;
        return true;
    }

    bool close() {
        if (skipDepth_ > 0) {
            --skipDepth_;
            return true;
        }
        switch (level_) {
        case Level::fieldObject:
            level_ = Level::task;
            break;
        case Level::task:
            level_ = Level::result;
            break;
        case Level::result:
            level_ = Level::envelope;
            break;
        default:
            level_ = Level::top;
            break;
        }
        expect_ = Expect::none;
        return true;
    }

    Level level_ = Level::top;
    Expect expect_ = Expect::none;
    SNField SNTask::*member_ = nullptr;
    std::string SNField::*part_ = nullptr;
    int skipDepth_ = 0;
};

}  // namespace

std::vector<SNTask> decodeTaskList(std::string_view body) {
    TaskListHandler handler;
    const bool ok = json::sax_parse(body.begin(), body.end(), &handler);
    if (!ok)
        throw DecodingError(handler.error.empty() ? "The instance's reply could not be read." : handler.error);
    if (!handler.sawResult)
        throw DecodingError("The instance's reply has no \"result\" list.");
    return std::move(handler.tasks);
}

}  // namespace trayline
