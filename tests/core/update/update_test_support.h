#pragma once

// Real artefacts for update tests: an in-process test PKI, bundles, zips and a loopback server.

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_env.h"  // readFile, writeFile

namespace trayline::test {

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct X509Free {
    void operator()(X509* c) const { X509_free(c); }
};

// A key with its certificate: a root CA, or a code signer issued by one.
class Identity {
public:
    static Identity makeRoot(const std::string& commonName);
    Identity issueSigner(const std::optional<std::string>& organizationalUnit) const;

    std::string certificatePEM() const;
    std::string keyPEM() const;
    // Writes CodeResources for the bundle as it is now and a detached CMS signature over it.
    void sign(const std::filesystem::path& bundle) const;

private:
    std::unique_ptr<EVP_PKEY, PkeyFree> key_;
    std::unique_ptr<X509, X509Free> cert_;
};

// Trayline.app with Contents/Info.plist (version when given; no file when `withPlist` is false),
// a Contents/bin/trayline that, when started, writes `version` to "relaunched" beside the bundle,
// and Contents/Resources/CHANGELOG.md.
void makeBundle(const std::filesystem::path& bundle, const std::optional<std::string>& version,
                bool withPlist = true);

struct ZipEntry {
    enum class Type { file, directory, symlink };
    std::string name;
    std::string content;  // file data, or the symlink's target
    Type type = Type::file;
    unsigned mode = 0644;
};
// Every file and directory under `root/relative`, named relative to `root` (prefixed with
// `prefix`), in sorted order.
std::vector<ZipEntry> entriesOf(const std::filesystem::path& root, const std::string& relative,
                                const std::string& prefix = "");
std::string makeZip(const std::vector<ZipEntry>& entries);

// Serves fixed replies on 127.0.0.1 at an ephemeral port.
class LoopbackServer {
public:
    LoopbackServer();
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    void serve(const std::string& path, int status, std::string body);
    std::string url(const std::string& path) const;
    std::vector<std::string> cacheControlSeen() const;

private:
    struct Reply {
        int status;
        std::string body;
    };
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::map<std::string, Reply> replies_;
    std::vector<std::string> cacheControl_;
};

// A fresh directory (with a space in its name) removed with everything in it at the end.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// The PID of a process that has already exited and been reaped.
long exitedProcessID();
// Runs argv to completion and returns its exit status (-1 when it did not exit normally).
int runToCompletion(const std::vector<std::string>& argv);
// Polls until the file exists and is not empty, at most `seconds`.
bool waitForFile(const std::filesystem::path& file, double seconds = 10);

}  // namespace trayline::test
