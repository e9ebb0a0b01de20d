#pragma once

// An in-memory stand-in for the instance, for the fuzz target: a fuzzer must not do I/O, and every
// answer here is a pure function of its arguments and a tiny fixed data set.

#include "core/mcp/tool_backend.h"

namespace trayline::fuzz {

class MemoryBackend final : public ToolBackend {
public:
    MemoryBackend();

    bool signedIn() const override { return signedIn_; }
    void setSignedIn(bool v) { signedIn_ = v; }

    std::vector<SNTask> fetchTasks(std::string_view query, int limit) const override;
    std::vector<SNUser> groupMembers() const override;
    std::vector<SNUser> searchUsers(std::string_view text) const override;
    SNTask resolveTask(std::string_view reference) const override;
    SNUser resolveUser(std::string_view reference) const override;
    void patch(std::string_view table, std::string_view sysID,
               const std::map<std::string, std::string>& body) const override;
    void assign(const SNTask& task, std::string_view userSysID, bool alsoRITM) const override;
    void close(const SNTask& task, std::string_view resolution) const override;
    std::string searchRecords(std::string_view table, std::string_view query,
                              const std::optional<std::string>& fields, int limit) const override;

private:
    std::vector<SNTask> tasks_;
    std::vector<SNUser> users_;
    bool signedIn_ = true;
};

}  // namespace trayline::fuzz
