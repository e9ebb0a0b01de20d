#pragma once

// Real artefacts for update tests: a test PKI, signed bundles, zips and loopback http(s) servers.

#include <httplib.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/outcome.h"
#include "support/temp_env.h"  // readFile, writeFile

namespace trayline::test {

// A fresh directory (with a space in its name) removed with everything in it at the end.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A key and certificate made by openssl: a root CA, or issued by one, a code signer (its team in the
// OU) or a TLS server for 127.0.0.1.
class Identity {
public:
    static Identity makeRoot(const std::string& commonName);
    Identity issueSigner(const std::optional<std::string>& team) const;
    Identity issueServer() const;
    std::filesystem::path certificateFile() const { return files_->path() / "cert.pem"; }
    std::filesystem::path keyFile() const { return files_->path() / "key.pem"; }
    std::string certificatePEM() const { return readFile(certificateFile()); }
    // Writes CodeResources for the bundle as it is now and a detached CMS signature over it.
    void sign(const std::filesystem::path& bundle) const;

private:
    static Identity issue(const Identity* issuer, const std::string& subject, const std::string& options);
    std::shared_ptr<ScratchDir> files_;
};

// Trayline.app with Contents/Info.plist (declaring `version` when given) and Contents/bin/trayline
// that, when started, writes that version to "relaunched" beside the bundle.
void makeBundle(const std::filesystem::path& bundle, const std::optional<std::string>& version);

struct ZipEntry {
    std::string name;
    std::string content;      // file data, or the symlink's target
    unsigned mode = 0100644;  // st_mode: file type and permission bits
};
// The files and symlinks under `root/relative`, named relative to `root`.
std::vector<ZipEntry> entriesOf(const std::filesystem::path& root, const std::string& relative);
std::string makeZip(const std::vector<ZipEntry>& entries);

// Serves fixed replies on 127.0.0.1 at an ephemeral port; over https with a server identity.
class LoopbackServer {
public:
    explicit LoopbackServer(const Identity* tls = nullptr);
    ~LoopbackServer();
    void serve(const std::string& path, int status, std::string body,
               std::optional<std::string> location = {});
    std::string url(const std::string& path) const;
    std::vector<std::string> cacheControlSeen() const;  // of every request, in arrival order

private:
    struct Reply {
        int status;
        std::string body;
        std::optional<std::string> location;
    };
    std::unique_ptr<httplib::Server> server_;
    std::string scheme_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::map<std::string, Reply> replies_;
    std::vector<std::string> cacheControl_;
};

// The PID of a process that has already exited and been reaped.
long exitedProcessID();
// Polls until the file exists and is not empty, at most `seconds`.
bool waitForFile(const std::filesystem::path& file, double seconds = 10);

}  // namespace trayline::test
