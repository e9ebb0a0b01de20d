#include "core/platform/http.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>

#include "core/platform/http_engine.h"
#include "core/platform/http_proxy.h"

namespace trayline::http {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// How far writing may fall behind a download before it fails: more than an update archive holds.
constexpr std::size_t kMaxSpooled = std::size_t{64} << 20;

// The body on its way from the engine's I/O thread, which must never wait for a disk (every other
// request and the cancel sweep run there), to the thread that waits for the download and writes.
struct Spool {
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<std::string> chunks;
    std::size_t spooled = 0;
    bool overflowed = false;
    bool writeFailed = false;  // the writer's: the engine then stops the transfer
};

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
    auto spool = std::make_shared<Spool>();
    auto sink = [spool](const char* data, std::size_t size) {
        std::lock_guard lock(spool->mutex);
        if (spool->writeFailed)
            return false;
        if (spool->spooled + size > kMaxSpooled) {
            spool->overflowed = true;
            return false;
        }
        spool->chunks.emplace_back(data, size);
        spool->spooled += size;
        spool->arrived.notify_one();
        return true;
    };
    detail::proxyFor(request.url);
    auto reply = detail::submit(request, sink);
    // Writes what has arrived until the reply is in and nothing is left; the sink is not called
    // once the future is ready.
    for (bool done = false; !done;) {
        std::deque<std::string> batch;
        {
            std::unique_lock lock(spool->mutex);
            spool->arrived.wait_for(lock, std::chrono::milliseconds(100), [&] { return !spool->chunks.empty(); });
            done = reply.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
            batch.swap(spool->chunks);
            spool->spooled = 0;
        }
        for (const std::string& chunk : batch) {
            if (writeError == 0 && std::fwrite(chunk.data(), 1, chunk.size(), file.get()) != chunk.size()) {
                writeError = errno ? errno : EIO;
                std::lock_guard lock(spool->mutex);
                spool->writeFailed = true;
            }
        }
    }
    Response response;
    try {
        response = reply.get();
    } catch (const TransportError&) {
        discard();
        if (spool->overflowed)
            throw std::system_error(ENOBUFS, std::generic_category(),
                                    "cannot write " + destination.string() + " as fast as it arrives");
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
