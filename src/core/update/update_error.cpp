#include "core/update/update_error.h"

namespace trayline {

UpdateError::UpdateError(Kind kind, const std::string& message)
    : std::runtime_error(message), kind_(kind) {}

UpdateError UpdateError::badFeed(std::string_view detail) {
    return UpdateError(Kind::badFeed, "Update check failed: " + std::string(detail));
}

UpdateError UpdateError::badDownload(std::string_view detail) {
    return UpdateError(Kind::badDownload, "Download failed: " + std::string(detail));
}

UpdateError UpdateError::signature(std::string_view detail) {
    return UpdateError(Kind::signature,
                       "Download rejected: not signed by the expected developer.\n" + std::string(detail));
}

UpdateError UpdateError::versionMismatch(std::string_view bundleVersion,
                                         std::string_view manifestVersion) {
    return UpdateError(Kind::versionMismatch, "Download rejected: bundle is v" + std::string(bundleVersion) +
                                                  ", manifest promised v" + std::string(manifestVersion) +
                                                  ".");
}

UpdateError UpdateError::notWritable(std::string_view path) {
    return UpdateError(Kind::notWritable,
                       "Can't replace " + std::string(path) + " \u2014 no write permission.");
}

UpdateError UpdateError::checksumMismatch() {
    return UpdateError(Kind::checksumMismatch, "Download rejected: checksum doesn't match the manifest.");
}

}  // namespace trayline
