#include "core/update/bundle_signature.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <algorithm>
#include <map>
#include <optional>
#include <stdexcept>
#include <vector>

#include "core/platform/atomic_file.h"
#include "core/update/openssl_handles.h"
#include "core/update/sha256.h"
#include "core/update/update_error.h"

namespace trayline {

namespace fs = std::filesystem;

namespace {

struct BundleFile {
    std::string path;  // relative, '/'-separated
    bool regular;
};

bool isSignatureFile(std::string_view relative) {
    return relative == kCodeResourcesPath || relative == kCodeSignaturePath;
}

// Every non-directory of the bundle except the two signature files, sorted bytewise. Symlinks
// are listed, never followed.
std::vector<BundleFile> listBundle(const fs::path& bundle) {
    std::vector<BundleFile> files;
    for (auto it = fs::recursive_directory_iterator(bundle); it != fs::recursive_directory_iterator();
         ++it) {
        const auto type = it->symlink_status().type();
        if (type == fs::file_type::directory)
            continue;
        std::string relative = it->path().lexically_relative(bundle).generic_string();
        const bool regular = type == fs::file_type::regular;
        // A signature file that is a link or device is listed, and so refused, like any other.
        if (!(regular && isSignatureFile(relative)))
            files.push_back({std::move(relative), regular});
    }
    std::sort(files.begin(), files.end(),
              [](const BundleFile& a, const BundleFile& b) { return a.path < b.path; });
    return files;
}

[[noreturn]] void reject(const std::string& detail) { throw UpdateError::signature(detail); }

bool isLowerHex(std::string_view s) {
    return s.size() == 64 &&
           s.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// Path -> digest; nullopt when a line is not in the sealed form or a path repeats.
std::optional<std::map<std::string, std::string>> parseSeal(std::string_view text) {
    std::map<std::string, std::string> seal;
    while (!text.empty()) {
        const auto end = text.find('\n');
        if (end == std::string_view::npos)
            return std::nullopt;
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        if (line.size() < 67 || line.substr(64, 2) != "  " || !isLowerHex(line.substr(0, 64)))
            return std::nullopt;
        if (!seal.emplace(std::string(line.substr(66)), std::string(line.substr(0, 64))).second)
            return std::nullopt;
    }
    return seal;
}

ossl::Cert readCertificate(std::string_view pem) {
    ossl::Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    ossl::Cert cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    ERR_clear_error();
    return cert;
}

std::optional<std::string> organizationalUnit(X509* cert) {
    const X509_NAME* subject = X509_get_subject_name(cert);
    const int index = X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, -1);
    if (index < 0)
        return std::nullopt;
    const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
    unsigned char* utf8 = nullptr;
    const int size = ASN1_STRING_to_UTF8(&utf8, data);
    if (size < 0)
        return std::nullopt;
    std::string ou(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(size));
    OPENSSL_free(utf8);
    return ou;
}

void verifyChain(X509* signer, STACK_OF(X509) * untrusted, std::string_view rootPEM) {
    ossl::Cert root = readCertificate(rootPEM);
    if (!root)
        reject("the pinned root certificate cannot be read");
    ossl::Store store(X509_STORE_new());
    ossl::StoreCtx ctx(X509_STORE_CTX_new());
    if (!store || !ctx || X509_STORE_add_cert(store.get(), root.get()) != 1 ||
        X509_STORE_CTX_init(ctx.get(), store.get(), signer, untrusted) != 1)
        reject(ossl::takeError("cannot set up certificate verification"));
    if (X509_verify_cert(ctx.get()) != 1) {
        const int error = X509_STORE_CTX_get_error(ctx.get());
        ERR_clear_error();
        reject(std::string("the signing certificate is not trusted (") +
               X509_verify_cert_error_string(error) + ")");
    }
}

void verifySeal(const fs::path& bundle, const std::map<std::string, std::string>& seal) {
    const auto files = listBundle(bundle);
    auto sealed = seal.begin();
    for (const auto& file : files) {
        // Anything sealed that sorts before this file is missing from the bundle.
        if (sealed != seal.end() && sealed->first < file.path)
            reject("a sealed resource is missing or invalid: " + sealed->first);
        if (!file.regular)
            reject("not a regular file: " + file.path);
        if (sealed == seal.end() || sealed->first != file.path)
            reject("file added: " + file.path);
        std::string digest;
        try {
            digest = sha256OfFile(bundle / file.path);
        } catch (const std::system_error&) {
        }
        if (digest != sealed->second)
            reject("a sealed resource is missing or invalid: " + file.path);
        ++sealed;
    }
    if (sealed != seal.end())
        reject("a sealed resource is missing or invalid: " + sealed->first);
}

}  // namespace

std::string codeResourcesOf(const fs::path& bundle) {
    std::string text;
    for (const auto& file : listBundle(bundle)) {
        if (!file.regular || file.path.find('\n') != std::string::npos)
            throw std::runtime_error("cannot seal " + file.path + ": not a regular file");
        text += sha256OfFile(bundle / file.path) + "  " + file.path + "\n";
    }
    return text;
}

void verifyBundleSignature(const fs::path& bundle, std::string_view rootCertificatePEM,
                           std::string_view teamIdentifier) {
    // Looked at before anything is read: opening a FIFO for reading waits for a writer forever.
    for (const std::string_view file : {kCodeResourcesPath, kCodeSignaturePath}) {
        std::error_code ec;
        const auto type = fs::symlink_status(bundle / file, ec).type();
        if (type != fs::file_type::regular && type != fs::file_type::not_found)
            reject("not a regular file: " + std::string(file));
    }
    const auto sealText = readWholeFile(bundle / kCodeResourcesPath);
    const auto signature = readWholeFile(bundle / kCodeSignaturePath);
    if (!sealText || !signature)
        reject("code object is not signed at all");

    const auto* der = reinterpret_cast<const unsigned char*>(signature->data());
    ossl::Cms cms(d2i_CMS_ContentInfo(nullptr, &der, static_cast<long>(signature->size())));
    ossl::Bio content(BIO_new_mem_buf(sealText->data(), static_cast<int>(sealText->size())));
    const bool valid = cms && content &&
                       CMS_verify(cms.get(), nullptr, nullptr, content.get(), nullptr,
                                  CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) == 1;
    ERR_clear_error();
    if (!valid)
        reject("invalid signature (code or signature have been modified)");

    // The stack is new but its certificates belong to the CMS object.
    const ossl::SignerStack signers(CMS_get0_signers(cms.get()));
    if (!signers || sk_X509_num(signers.get()) != 1)
        reject("invalid signature (expected exactly one signer)");
    X509* signer = sk_X509_value(signers.get(), 0);
    // The chain is built from the certificates the signature carries, up to the pinned root only.
    const ossl::CertStack carried(CMS_get1_certs(cms.get()));
    verifyChain(signer, carried.get(), rootCertificatePEM);

    const auto team = organizationalUnit(signer);
    if (!team)
        reject("the signing certificate names no team");
    if (*team != teamIdentifier)
        reject("the signing certificate belongs to team " + *team + ", not " +
               std::string(teamIdentifier));

    const auto seal = parseSeal(*sealText);
    if (!seal)
        reject("the resource seal is malformed");
    verifySeal(bundle, *seal);
}

}  // namespace trayline
