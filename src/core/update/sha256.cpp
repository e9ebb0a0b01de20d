#include "core/update/sha256.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "core/update/openssl_handles.h"

namespace trayline {

namespace ossl {

std::string takeError(const std::string& fallback) {
    const unsigned long code = ERR_get_error();
    if (code == 0)
        return fallback;
    std::array<char, 256> text{};
    ERR_error_string_n(code, text.data(), text.size());
    ERR_clear_error();
    return text.data();
}

}  // namespace ossl

namespace {

class Digest {
public:
    Digest() : ctx_(EVP_MD_CTX_new()) {
        if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) != 1)
            throw std::runtime_error(ossl::takeError("SHA-256 is not available"));
    }
    void update(const void* data, std::size_t size) {
        if (EVP_DigestUpdate(ctx_.get(), data, size) != 1)
            throw std::runtime_error(ossl::takeError("SHA-256 failed"));
    }
    std::string hex() {
        std::array<unsigned char, EVP_MAX_MD_SIZE> md{};
        unsigned int size = 0;
        if (EVP_DigestFinal_ex(ctx_.get(), md.data(), &size) != 1)
            throw std::runtime_error(ossl::takeError("SHA-256 failed"));
        static constexpr char digits[] = "0123456789abcdef";
        std::string out;
        for (unsigned int i = 0; i < size; ++i) {
            out += digits[md[i] >> 4];
            out += digits[md[i] & 0x0F];
        }
        return out;
    }

private:
    ossl::MdCtx ctx_;
};

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
};

}  // namespace

std::string sha256OfFile(const std::filesystem::path& file) {
    const Fd in{::open(file.c_str(), O_RDONLY | O_CLOEXEC)};
    if (in.fd < 0)
        throw std::system_error(errno, std::generic_category(), "cannot read " + file.string());
    Digest digest;
    std::array<char, 64 * 1024> buffer;
    for (;;) {
        const ssize_t n = ::read(in.fd, buffer.data(), buffer.size());
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw std::system_error(errno, std::generic_category(), "cannot read " + file.string());
        }
        digest.update(buffer.data(), static_cast<std::size_t>(n));
    }
    return digest.hex();
}

std::string sha256Of(std::string_view data) {
    Digest digest;
    digest.update(data.data(), data.size());
    return digest.hex();
}

}  // namespace trayline
