#pragma once

// Crash- and race-safe small files: whole-file replace through a temp file + fsync + rename, and an
// advisory lock on a sibling ".lock" file so read-modify-write cycles of two processes serialise.

#include <filesystem>
#include <optional>
#include <string>

namespace trayline {

// Holds an exclusive flock on "<target>.lock" for its lifetime (the directory is created first).
class FileLock {
public:
    explicit FileLock(const std::filesystem::path& target);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_ = -1;
};

// Reads the whole file; nullopt when it does not exist or cannot be read.
std::optional<std::string> readWholeFile(const std::filesystem::path& path);

// Replaces `path` atomically with `content`, the new file getting `mode`. Throws
// std::system_error on failure, leaving the previous file untouched.
void writeFileAtomically(const std::filesystem::path& path, const std::string& content,
                         unsigned mode = 0644);

}  // namespace trayline
