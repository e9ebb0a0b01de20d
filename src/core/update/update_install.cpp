#include "core/update/update_install.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "core/platform/atomic_file.h"
#include "core/platform/http.h"
#include "core/platform/process.h"
#include "core/platform/url.h"
#include "core/settings/app_info.h"
#include "core/update/bundle_archive.h"
#include "core/update/bundle_signature.h"
#include "core/update/installer_script.h"
#include "core/update/sha256.h"
#include "core/update/update_error.h"
#include "core/update/update_feed.h"
#include "core/update/update_identity.h"

namespace trayline {

namespace fs = std::filesystem;

namespace {

// Removes the work directory unless the installation got as far as starting the installer.
class WorkDirectory {
public:
    explicit WorkDirectory(fs::path path) : path_(std::move(path)) {}
    ~WorkDirectory() {
        if (!kept_) {
            std::error_code ignored;
            fs::remove_all(path_, ignored);
        }
    }
    WorkDirectory(const WorkDirectory&) = delete;
    WorkDirectory& operator=(const WorkDirectory&) = delete;
    const fs::path& path() const { return path_; }
    void keep() { kept_ = true; }

private:
    fs::path path_;
    bool kept_ = false;
};

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (asciiLower(a[i]) != asciiLower(b[i]))
            return false;
    return true;
}

fs::path resolveInstalledBundle(const InstallOptions& options) {
    if (options.installedBundle)
        return *options.installedBundle;
    if (auto bundle = AppInfo::currentBundle())
        return *bundle;
    throw std::runtime_error("Trayline is not running from a Trayline.app bundle, so it cannot replace itself.");
}

}  // namespace

InstallOptions InstallOptions::defaults() {
    InstallOptions options;
    options.rootCertificatePEM = std::string(kUpdateRootCertificatePEM);
    options.teamIdentifier = std::string(kTeamIdentifier);
    return options;
}

fs::path makeWorkDirectory(const fs::path& temporaryDirectory) {
    fs::create_directories(temporaryDirectory);
    // Private to the user: nobody else may swap files between verification and installation.
    const fs::path work = temporaryDirectory / ("TraylineUpdate-" + makeUUID());
    if (::mkdir(work.c_str(), 0700) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot create " + work.string());
    return work;
}

void downloadArchive(const std::string& url, const fs::path& destination,
                     const InstallOptions& options) {
    if (!isValidURL(url))
        throw UpdateError::badDownload("bad download URL");
    http::Request request;
    request.url = url;
    request.timeout = options.downloadTimeout;
    request.stallTimeout = options.stallTimeout;
    request.cancel = options.cancel;
    request.maxRedirects = kUpdateMaxRedirects;
    request.trustedCertificatesPEM = options.trustedCertificatesPEM;
    http::Response reply;
    try {
        reply = http::download(request, destination);
    } catch (const http::RedirectError& e) {
        throw UpdateError::badDownload(e.what());
    } catch (const http::Stalled& e) {
        throw UpdateError::badDownload(e.what());
    }
    if (reply.status != 0 && reply.status != 200) {
        std::error_code ignored;
        fs::remove(destination, ignored);
        throw UpdateError::badDownload("HTTP " + std::to_string(reply.status));
    }
}

void verifyChecksum(const fs::path& archive, const std::optional<std::string>& expected) {
    if (!expected || expected->empty())
        return;
    if (!equalsIgnoringAsciiCase(sha256OfFile(archive), *expected))
        throw UpdateError::checksumMismatch();
}

fs::path unpackUpdate(const fs::path& archive) {
    const fs::path unpacked = archive.parent_path() / "unpacked";
    fs::create_directory(unpacked);
    unpackArchive(archive, unpacked);
    if (auto bundle = findAppBundle(unpacked))
        return *bundle;
    throw UpdateError::badDownload("no .app inside the archive");
}

void verifyVersion(const fs::path& bundle, std::string_view expected) {
    const auto version =
        AppInfo::plistString(bundle / "Contents" / "Info.plist", "CFBundleShortVersionString");
    if (!version)
        throw UpdateError::badDownload("unreadable Info.plist in the downloaded bundle");
    if (*version != expected)
        throw UpdateError::versionMismatch(*version, expected);
}

void verifyReplaceable(const fs::path& installedBundle) {
    // The swap renames inside this directory, so it must be a directory we may write and enter.
    const fs::path parent = installedBundle.parent_path();
    struct stat info {};
    if (::stat(parent.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        ::access(parent.c_str(), W_OK | X_OK) != 0)
        throw UpdateError::notWritable(installedBundle.string());
    // Without a bundle to move aside the installer would stop after the app had already quit.
    if (!fs::is_directory(fs::symlink_status(installedBundle)))
        throw fs::filesystem_error("cannot replace the installed bundle", installedBundle,
                                   std::make_error_code(std::errc::no_such_file_or_directory));
}

fs::path startInstaller(const fs::path& newBundle, const fs::path& installedBundle, long processID,
                        const fs::path& workDirectory) {
    const fs::path script = newBundle.parent_path() / "install.sh";
    writeFileAtomically(script, installerScript(processID), 0700);
    spawnDetached(installerCommand(script, newBundle, installedBundle, workDirectory));
    return script;
}

namespace {

// The folder of the installed bundle, where the installer's moves are renames; when that folder
// cannot take the work directory, the temporary directory (the installation then stops at the
// writability check, after the same checks as ever).
fs::path workDirectoryBase(const InstallOptions& options) {
    std::optional<fs::path> installed;
    try {
        installed = resolveInstalledBundle(options);
    } catch (const std::exception&) {
        // Reported at its own step, after the download and its checks, as ever.
    }
    if (installed) {
        const fs::path parent = installed->parent_path();
        struct stat info {};
        if (::stat(parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
            ::access(parent.c_str(), W_OK | X_OK) == 0)
            return parent;
    }
    return options.temporaryDirectory.value_or(fs::temp_directory_path());
}

}  // namespace

void sweepWorkDirectories(const InstallOptions& options, std::chrono::hours age) {
    try {
        const fs::path folder = resolveInstalledBundle(options).parent_path();
        const auto cutoff = fs::file_time_type::clock::now() - age;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(folder, ec)) {
            if (!entry.path().filename().string().starts_with("TraylineUpdate-") ||
                !fs::is_directory(entry.symlink_status(ec)))
                continue;
            const auto written = entry.last_write_time(ec);
            if (!ec && written < cutoff)
                fs::remove_all(entry.path(), ec);
        }
    } catch (const std::exception&) {
        // No installed bundle (a build tree, a package) or an unreadable folder: nothing to sweep.
    }
}

InstallLaunch installUpdate(const UpdateManifest& manifest, const InstallOptions& options,
                            const std::function<void(InstallStage)>& progress) {
    const auto report = [&progress](InstallStage stage) {
        if (progress)
            progress(stage);
    };
    report(InstallStage::downloading);
    if (!isValidURL(manifest.url))
        throw UpdateError::badDownload("bad download URL");

    WorkDirectory work(makeWorkDirectory(workDirectoryBase(options)));
    const fs::path archive = work.path() / "update.zip";
    downloadArchive(manifest.url, archive, options);

    report(InstallStage::verifying);
    verifyChecksum(archive, manifest.sha256);
    const fs::path bundle = unpackUpdate(archive);
    verifyBundleSignature(bundle, options.rootCertificatePEM, options.teamIdentifier);
    verifyVersion(bundle, manifest.version);

    report(InstallStage::installing);
    const fs::path installed = resolveInstalledBundle(options);
    verifyReplaceable(installed);
    const fs::path script = startInstaller(
        bundle, installed, options.processID.value_or(static_cast<long>(::getpid())), work.path());
    work.keep();
    return {work.path(), script, bundle, installed};
}

}  // namespace trayline
