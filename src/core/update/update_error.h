#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace trayline {

// Failures of the update check and of an installation; what() is the text users see.
class UpdateError : public std::runtime_error {
public:
    enum class Kind { badFeed, badDownload, signature, versionMismatch, notWritable, checksumMismatch };

    static UpdateError badFeed(std::string_view detail);
    static UpdateError badDownload(std::string_view detail);
    static UpdateError signature(std::string_view detail);
    static UpdateError versionMismatch(std::string_view bundleVersion, std::string_view manifestVersion);
    static UpdateError notWritable(std::string_view path);
    static UpdateError checksumMismatch();

    Kind kind() const { return kind_; }

private:
    UpdateError(Kind kind, const std::string& message);
    Kind kind_;
};

}  // namespace trayline
