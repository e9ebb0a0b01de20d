#pragma once

// Owners for the OpenSSL objects the update code uses.

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace trayline::ossl {

template <auto Free>
struct Deleter {
    template <typename T>
    void operator()(T* p) const { Free(p); }
};

using Bio = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using Cms = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo_free>>;
using Store = std::unique_ptr<X509_STORE, Deleter<X509_STORE_free>>;
using StoreCtx = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509_free>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;

struct CertStackFree {
    void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};
using CertStack = std::unique_ptr<STACK_OF(X509), CertStackFree>;
// A stack whose certificates are owned elsewhere.
struct SignerStackFree {
    void operator()(STACK_OF(X509) * s) const { sk_X509_free(s); }
};
using SignerStack = std::unique_ptr<STACK_OF(X509), SignerStackFree>;

// The oldest error in OpenSSL's thread-local queue as text (empties the queue); `fallback` when
// there is none.
std::string takeError(const std::string& fallback);

}  // namespace trayline::ossl
