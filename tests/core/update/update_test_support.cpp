#include "update_test_support.h"

#include <archive.h>
#include <archive_entry.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/pem.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <stdexcept>
#include <thread>

#include "core/update/bundle_signature.h"

extern char** environ;

namespace trayline::test {

namespace fs = std::filesystem;

namespace {

struct BioFree {
    void operator()(BIO* b) const { BIO_free_all(b); }
};
struct CmsFree {
    void operator()(CMS_ContentInfo* c) const { CMS_ContentInfo_free(c); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

void check(bool ok, const char* what) {
    if (!ok)
        throw std::runtime_error(std::string("test PKI: ") + what);
}

std::string drain(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(size));
}

EVP_PKEY* newKey() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    check(key != nullptr, "key generation");
    return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    check(ext != nullptr, "extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

X509* newCertificate(EVP_PKEY* key, const std::string& cn, const std::optional<std::string>& ou,
                     X509* issuer, EVP_PKEY* issuerKey) {
    static long serial = 1;
    X509* cert = X509_new();
    check(cert != nullptr, "certificate");
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), ++serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 7 * 24 * 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("Trayline Tests"), -1, -1, 0);
    if (ou)
        X509_NAME_add_entry_by_txt(name, "OU", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(ou->c_str()), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : name);
    X509* signerCert = issuer ? issuer : cert;
    if (issuer) {
        addExtension(cert, signerCert, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert, signerCert, NID_key_usage, "critical,digitalSignature");
        addExtension(cert, signerCert, NID_ext_key_usage, "codeSigning");
    } else {
        addExtension(cert, signerCert, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert, signerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
    }
    check(X509_sign(cert, issuerKey ? issuerKey : key, EVP_sha256()) > 0, "certificate signing");
    return cert;
}

}  // namespace

Identity Identity::makeRoot(const std::string& commonName) {
    Identity root;
    root.key_.reset(newKey());
    root.cert_.reset(newCertificate(root.key_.get(), commonName, std::nullopt, nullptr, nullptr));
    return root;
}

Identity Identity::issueSigner(const std::optional<std::string>& organizationalUnit) const {
    Identity signer;
    signer.key_.reset(newKey());
    signer.cert_.reset(newCertificate(signer.key_.get(), "Release Signing", organizationalUnit,
                                      cert_.get(), key_.get()));
    return signer;
}

std::string Identity::certificatePEM() const {
    Bio bio(BIO_new(BIO_s_mem()));
    check(PEM_write_bio_X509(bio.get(), cert_.get()) == 1, "PEM certificate");
    return drain(bio.get());
}

std::string Identity::keyPEM() const {
    Bio bio(BIO_new(BIO_s_mem()));
    check(PEM_write_bio_PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "PEM key");
    return drain(bio.get());
}

void Identity::sign(const fs::path& bundle) const {
    const std::string seal = codeResourcesOf(bundle);
    writeFile(bundle / kCodeResourcesPath, seal);
    Bio content(BIO_new_mem_buf(seal.data(), static_cast<int>(seal.size())));
    std::unique_ptr<CMS_ContentInfo, CmsFree> cms(
        CMS_sign(cert_.get(), key_.get(), nullptr, content.get(), CMS_BINARY | CMS_DETACHED));
    check(cms != nullptr, "CMS signing");
    Bio out(BIO_new(BIO_s_mem()));
    check(i2d_CMS_bio(out.get(), cms.get()) == 1, "CMS encoding");
    writeFile(bundle / kCodeSignaturePath, drain(out.get()));
}

void makeBundle(const fs::path& bundle, const std::optional<std::string>& version, bool withPlist) {
    const fs::path contents = bundle / "Contents";
    if (withPlist) {
        std::string plist =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
            "\t<key>CFBundleIdentifier</key>\n\t<string>com.brindle.trayline</string>\n";
        if (version)
            plist += "\t<key>CFBundleShortVersionString</key>\n\t<string>" + *version + "</string>\n";
        plist += "\t<key>CFBundleExecutable</key>\n\t<string>trayline</string>\n</dict>\n</plist>\n";
        writeFile(contents / "Info.plist", plist);
    }
    const fs::path exe = contents / "bin" / "trayline";
    writeFile(exe, "#!/bin/sh\nprintf %s '" + version.value_or("none") +
                       "' > \"$(dirname \"$0\")/../../../relaunched\"\n");
    fs::permissions(exe, fs::perms(0755));
    writeFile(contents / "Resources" / "CHANGELOG.md", "# Changelog\n\n## " +
                                                           version.value_or("none") + "\n\n- Fixes.\n");
}

std::vector<ZipEntry> entriesOf(const fs::path& root, const std::string& relative,
                                const std::string& prefix) {
    std::vector<ZipEntry> entries;
    entries.push_back({prefix + relative + "/", "", ZipEntry::Type::directory, 0755});
    for (const auto& item : fs::recursive_directory_iterator(root / relative)) {
        const std::string name = prefix + item.path().lexically_relative(root).generic_string();
        const auto mode = static_cast<unsigned>(fs::symlink_status(item.path()).permissions()) & 0777;
        if (item.is_symlink())
            entries.push_back({name, fs::read_symlink(item.path()).string(), ZipEntry::Type::symlink, 0777});
        else if (item.is_directory())
            entries.push_back({name + "/", "", ZipEntry::Type::directory, mode});
        else
            entries.push_back({name, readFile(item.path()), ZipEntry::Type::file, mode});
    }
    std::sort(entries.begin(), entries.end(),
              [](const ZipEntry& a, const ZipEntry& b) { return a.name < b.name; });
    return entries;
}

std::string makeZip(const std::vector<ZipEntry>& entries) {
    struct WriteFree {
        void operator()(archive* a) const { archive_write_free(a); }
    };
    struct EntryFree {
        void operator()(archive_entry* e) const { archive_entry_free(e); }
    };
    std::string bytes;
    std::unique_ptr<archive, WriteFree> zip(archive_write_new());
    archive_write_set_format_zip(zip.get());
    archive_write_set_bytes_in_last_block(zip.get(), 1);
    const auto append = [](archive*, void* out, const void* data, std::size_t size) -> la_ssize_t {
        static_cast<std::string*>(out)->append(static_cast<const char*>(data), size);
        return static_cast<la_ssize_t>(size);
    };
    check(archive_write_open(zip.get(), &bytes, nullptr, append, nullptr) == ARCHIVE_OK, "zip open");
    for (const auto& e : entries) {
        std::unique_ptr<archive_entry, EntryFree> entry(archive_entry_new());
        archive_entry_set_pathname(entry.get(), e.name.c_str());
        switch (e.type) {
        case ZipEntry::Type::file:
            archive_entry_set_filetype(entry.get(), AE_IFREG);
            archive_entry_set_size(entry.get(), static_cast<la_int64_t>(e.content.size()));
            break;
        case ZipEntry::Type::directory:
            archive_entry_set_filetype(entry.get(), AE_IFDIR);
            break;
        case ZipEntry::Type::symlink:
            archive_entry_set_filetype(entry.get(), AE_IFLNK);
            archive_entry_set_symlink(entry.get(), e.content.c_str());
            break;
        }
        archive_entry_set_perm(entry.get(), e.mode);
        check(archive_write_header(zip.get(), entry.get()) == ARCHIVE_OK, "zip entry");
        if (e.type == ZipEntry::Type::file && !e.content.empty())
            check(archive_write_data(zip.get(), e.content.data(), e.content.size()) ==
                      static_cast<la_ssize_t>(e.content.size()),
                  "zip data");
    }
    check(archive_write_close(zip.get()) == ARCHIVE_OK, "zip close");
    return bytes;
}

LoopbackServer::LoopbackServer() {
    // One request per connection: an idle keep-alive connection would delay stop().
    server_.set_keep_alive_max_count(1);
    server_.Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(mutex_);
        cacheControl_.push_back(req.get_header_value("Cache-Control"));
        const auto it = replies_.find(req.path);
        if (it == replies_.end()) {
            res.status = 404;
            return;
        }
        res.status = it->second.status;
        res.set_content(it->second.body, "application/octet-stream");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

LoopbackServer::~LoopbackServer() {
    server_.stop();
    thread_.join();
}

void LoopbackServer::serve(const std::string& path, int status, std::string body) {
    std::lock_guard lock(mutex_);
    replies_[path] = {status, std::move(body)};
}

std::string LoopbackServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
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
    int status = 0;
    ::waitpid(child, &status, 0);
    return child;
}

int runToCompletion(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0)
        return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool waitForFile(const fs::path& file, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::error_code ec;
    while (!(fs::exists(file, ec) && fs::file_size(file, ec) > 0)) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace trayline::test
