#pragma once

// Download, verification and installation of an update. Each step is a function of its own; the
// desktop Updater calls installUpdate() on a worker thread and quits the app when it returns.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/update/update_manifest.h"

namespace trayline {

struct InstallOptions {
    // Whose signature is accepted (the compiled-in publisher by default; tests use their own).
    std::string rootCertificatePEM;
    std::string teamIdentifier;
    // The bundle to replace; by default the one the running process was started from.
    std::optional<std::filesystem::path> installedBundle;
    // Where the work directory goes when the folder of the installed bundle cannot take it (the
    // installation then stops at the writability check); by default the system's temporary
    // directory.
    std::optional<std::filesystem::path> temporaryDirectory;
    // The process the installer waits for before swapping; by default this one.
    std::optional<long> processID;
    // Upper bound for the whole download, redirects included.
    std::chrono::milliseconds downloadTimeout{std::chrono::minutes(10)};
    // A download that receives nothing for this long fails at once.
    std::chrono::milliseconds stallTimeout{std::chrono::seconds(60)};
    // PEM certificates trusted in place of the system's CA bundle when not empty.
    std::string trustedCertificatesPEM;
    const std::atomic<bool>* cancel = nullptr;

    // The publisher's root and team, nothing else filled in.
    static InstallOptions defaults();
};

enum class InstallStage { downloading, verifying, installing };

// Where the installer was started from; the caller should now quit the app.
struct InstallLaunch {
    std::filesystem::path workDirectory;
    std::filesystem::path script;
    std::filesystem::path newBundle;
    std::filesystem::path installedBundle;
};

// Downloads the manifest's archive, checks its checksum, unpacks it, verifies the bundle's
// signature and declared version, checks that the installed bundle can be replaced, writes the
// installer script and starts it. `progress` is called (on the calling thread) as each stage
// begins. The work directory sits beside the installed bundle, so that the installer's moves are
// renames on one file system: a move across file systems copies, and a kill or a full disk during
// the copy would leave half a bundle. Failures throw: UpdateError with its user-facing text, or
// the platform's own error (http::TransportError, std::system_error,
// std::filesystem::filesystem_error); the work directory is removed and the installed app is
// untouched. On success the new bundle and the running script live in the work directory, which
// the script removes once the new bundle is in place.
InstallLaunch installUpdate(const UpdateManifest& manifest, const InstallOptions& options,
                            const std::function<void(InstallStage)>& progress = {});

// Removes the work directories ("TraylineUpdate-*") that a killed install or a failed swap left
// in the folder of the installed bundle, once they are older than `age`: a younger one may belong
// to an installer that is still running. Does nothing without an installed bundle; never throws.
void sweepWorkDirectories(const InstallOptions& options, std::chrono::hours age = std::chrono::hours(24));

// The steps, in the order installUpdate runs them.

// Creates "TraylineUpdate-<UUID>" (mode 0700) inside `temporaryDirectory`, creating that first.
std::filesystem::path makeWorkDirectory(const std::filesystem::path& temporaryDirectory);

// Streams `url` into `destination` with the options' time-outs, trust and cancel flag, following
// up to 10 redirects but never from https to http. "bad download URL", "HTTP <status>", a refused
// redirect and a stall fail as UpdateError::badDownload, leaving no file behind; a reply that is
// not HTTP counts as 200.
void downloadArchive(const std::string& url, const std::filesystem::path& destination,
                     const InstallOptions& options);

// Compares the archive's SHA-256 with `expected` ignoring letter case but nothing else; does
// nothing when `expected` is absent or empty. Throws UpdateError::checksumMismatch.
void verifyChecksum(const std::filesystem::path& archive, const std::optional<std::string>& expected);

// Unpacks the archive into "unpacked" beside it and returns the bundle at its top level
// (UpdateError::badDownload "no .app inside the archive" when there is none).
std::filesystem::path unpackUpdate(const std::filesystem::path& archive);

// The bundle's CFBundleShortVersionString must equal `expected` exactly.
void verifyVersion(const std::filesystem::path& bundle, std::string_view expected);

// The directory holding the installed bundle must be a directory the user can write to.
void verifyReplaceable(const std::filesystem::path& installedBundle);

// Writes "install.sh" beside the new bundle and starts it detached, to remove `workDirectory`
// after a successful swap; returns the script's path.
std::filesystem::path startInstaller(const std::filesystem::path& newBundle,
                                     const std::filesystem::path& installedBundle, long processID,
                                     const std::filesystem::path& workDirectory);

}  // namespace trayline
