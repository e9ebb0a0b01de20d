#include "core/platform/http.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <system_error>

#include "core/platform/http_engine.h"
#include "core/platform/http_proxy.h"

namespace trayline::http {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

TransportError::TransportError(int code, const std::string& message)
    : std::runtime_error(message), code_(code) {}

std::optional<std::string> Response::header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (detail::equalsAsciiCaseless(key, name))
            return value;
    return std::nullopt;
}

// The proxy is looked up here, on the caller's thread: a PAC file may take a moment, and the engine's
// thread serves every other request meanwhile.
std::future<Response> sendAsync(Request request) {
    detail::proxyFor(request.url);
    return detail::submit(std::move(request));
}

Response send(const Request& request) {
    detail::proxyFor(request.url);
    return detail::submit(request).get();
}

Response download(const Request& request, const std::filesystem::path& destination) {
    File file(std::fopen(destination.c_str(), "wb"));
    if (!file)
        throw std::system_error(errno, std::generic_category(),
                                "cannot create " + destination.string());

    int writeError = 0;
    auto writeFailure = [&] {
        return std::system_error(writeError, std::generic_category(),
                                 "cannot write " + destination.string());
    };
    auto discard = [&] {
        file.reset();
        std::error_code ignored;
        std::filesystem::remove(destination, ignored);
    };
    // Called on the engine's thread; this call waits for the reply, so the file outlives it.
    auto sink = [&](const char* data, std::size_t size) {
        if (std::fwrite(data, 1, size, file.get()) == size)
            return true;
        writeError = errno ? errno : EIO;
        return false;
    };
    Response response;
    detail::proxyFor(request.url);
    try {
        response = detail::submit(request, sink).get();
    } catch (const TransportError&) {
        discard();
        if (writeError != 0)
            throw writeFailure();  // curl only saw its write callback refuse
        throw;
    } catch (...) {
        discard();
        throw;
    }
    if (std::fflush(file.get()) != 0)
        writeError = errno ? errno : EIO;
    if (std::fclose(file.release()) != 0 && writeError == 0)
        writeError = errno ? errno : EIO;
    if (writeError != 0) {
        discard();
        throw writeFailure();
    }
    return response;
}

}  // namespace trayline::http
