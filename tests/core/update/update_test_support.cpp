#include "update_test_support.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "core/update/bundle_signature.h"

namespace trayline::test {

namespace fs = std::filesystem;

namespace {

void check(bool ok, const char* what) {
    if (!ok)
        throw std::runtime_error(std::string("update test support: ") + what);
}

std::string quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

void run(const std::string& command) {
    check(std::system((command + " 2>/dev/null").c_str()) == 0, command.c_str());
}

}  // namespace

// A fresh P-256 key certified by `issuer` (by itself when null); openssl's defaults make it a CA.
Identity Identity::issue(const Identity* issuer, const std::string& subject, const std::string& options) {
    Identity id;
    id.files_ = std::make_shared<ScratchDir>();
    const std::string ca =
        issuer ? " -CA " + quoted(issuer->certificateFile()) + " -CAkey " + quoted(issuer->keyFile()) : "";
    run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -noenc -days 1 -subj '" + subject +
        "' " + options + ca + " -keyout " + quoted(id.keyFile()) + " -out " + quoted(id.certificateFile()));
    return id;
}

Identity Identity::makeRoot(const std::string& commonName) {
    return issue(nullptr, "/CN=" + commonName, "");
}

Identity Identity::issueSigner(const std::optional<std::string>& team) const {
    return issue(this, (team ? "/OU=" + *team : "") + "/CN=Release Signing", "");
}

Identity Identity::issueServer() const {
    return issue(this, "/CN=127.0.0.1", "-addext subjectAltName=IP:127.0.0.1");
}

void Identity::sign(const fs::path& bundle) const {
    writeFile(bundle / kCodeResourcesPath, codeResourcesOf(bundle));
    run("openssl cms -sign -binary -outform DER -in " + quoted(bundle / kCodeResourcesPath) + " -signer " +
        quoted(certificateFile()) + " -inkey " + quoted(keyFile()) + " -out " +
        quoted(bundle / kCodeSignaturePath));
}

void makeBundle(const fs::path& bundle, const std::optional<std::string>& version) {
    const std::string key =
        version ? "<key>CFBundleShortVersionString</key><string>" + *version + "</string>" : "";
    writeFile(bundle / "Contents/Info.plist", "<plist version=\"1.0\"><dict>" + key + "</dict></plist>\n");
    writeFile(bundle / "Contents/bin/trayline", "#!/bin/sh\nprintf %s '" + version.value_or("none") +
                                                    "' > \"$(dirname \"$0\")/../../../relaunched\"\n");
    fs::permissions(bundle / "Contents/bin/trayline", fs::perms(0755));
}

std::vector<ZipEntry> entriesOf(const fs::path& root, const std::string& relative) {
    std::vector<ZipEntry> entries;  // directories come with their contents
    for (const auto& item : fs::recursive_directory_iterator(root / relative)) {
        struct stat info {};
        check(::lstat(item.path().c_str(), &info) == 0, "lstat");
        if (!S_ISDIR(info.st_mode))
            entries.push_back(
                {item.path().lexically_relative(root).generic_string(),
                 S_ISLNK(info.st_mode) ? fs::read_symlink(item.path()).string() : readFile(item.path()),
                 info.st_mode});
    }
    return entries;
}

std::string makeZip(const std::vector<ZipEntry>& entries) {
    std::string bytes(1 << 20, '\0');  // plenty for a test bundle
    std::size_t used = 0;
    const std::unique_ptr<archive, decltype(&archive_write_free)> zip(archive_write_new(),
                                                                      &archive_write_free);
    archive_write_set_format_zip(zip.get());
    archive_write_set_bytes_in_last_block(zip.get(), 1);
    check(archive_write_open_memory(zip.get(), bytes.data(), bytes.size(), &used) == ARCHIVE_OK, "zip");
    for (const auto& e : entries) {
        const std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(),
                                                                                  &archive_entry_free);
        const auto size = S_ISREG(e.mode) ? e.content.size() : 0;
        archive_entry_set_pathname(entry.get(), e.name.c_str());
        archive_entry_set_mode(entry.get(), e.mode);
        archive_entry_set_symlink(entry.get(), S_ISLNK(e.mode) ? e.content.c_str() : nullptr);
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(size));
        check(archive_write_header(zip.get(), entry.get()) == ARCHIVE_OK &&
                  archive_write_data(zip.get(), e.content.data(), size) == static_cast<la_ssize_t>(size),
              "zip entry");
    }
    check(archive_write_close(zip.get()) == ARCHIVE_OK, "zip");
    bytes.resize(used);
    return bytes;
}

LoopbackServer::LoopbackServer(const Identity* tls)
    : server_(
          tls ? std::make_unique<httplib::SSLServer>(tls->certificateFile().c_str(), tls->keyFile().c_str())
              : std::make_unique<httplib::Server>()),
      scheme_(tls ? "https" : "http") {
    // One request per connection: an idle keep-alive connection would delay stop().
    server_->set_keep_alive_max_count(1);
    server_->Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(mutex_);
        cacheControl_.push_back(req.get_header_value("Cache-Control"));
        const auto it = replies_.find(req.path);
        res.status = it == replies_.end() ? 404 : it->second.status;
        if (it != replies_.end() && it->second.location)
            res.set_header("Location", *it->second.location);
        if (it != replies_.end())
            res.set_content(it->second.body, "application/octet-stream");
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

LoopbackServer::~LoopbackServer() {
    server_->stop();
    thread_.join();
}

void LoopbackServer::serve(const std::string& path, int status, std::string body,
                           std::optional<std::string> location) {
    std::lock_guard lock(mutex_);
    replies_[path] = {status, std::move(body), std::move(location)};
}

std::string LoopbackServer::url(const std::string& path) const {
    return scheme_ + "://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> LoopbackServer::cacheControlSeen() const {
    std::lock_guard lock(mutex_);
    return cacheControl_;
}

ScratchDir::ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "trayline update XXXXXX").string();
    check(::mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

long exitedProcessID() {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

bool waitForFile(const fs::path& file, double seconds) {
    for (int i = 0; i < seconds * 100; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        if (std::error_code ec; fs::file_size(file, ec) > 0 && !ec)
            return true;
    return false;
}

}  // namespace trayline::test
