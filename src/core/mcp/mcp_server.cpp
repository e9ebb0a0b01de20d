#include "core/mcp/mcp_server.h"

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

namespace trayline::mcp {

namespace {

// Writes all of `data`, retrying short writes and EINTR; false once the descriptor refuses.
bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const auto n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Owns a descriptor for the life of the process's replies.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

bool wantsMcp(int argc, const char* const* argv) {
    for (int i = 0; i < argc; ++i)
        if (argv[i] && std::strcmp(argv[i], "--mcp") == 0)
            return true;
    return false;
}

void MCPServer::log(int fd, std::string_view message) {
    std::string line = "[trayline-mcp] ";
    line += message;
    line += '\n';
    writeAll(fd, line);  // a closed stderr is no reason to stop serving
}

bool MCPServer::serve(int inFd, int replyFd, int logFd, const Dispatcher& dispatcher) {
    std::string pending;
    std::size_t scanFrom = 0;  // bytes of `pending` already known to hold no line feed
    bool overlong = false;     // the line being read passed kMaxLineBytes: dropped up to its end
    char chunk[65536];

    auto handle = [&](std::string_view line) {
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        LineOutcome outcome;
        try {
            outcome = dispatcher.handleLine(line);
        } catch (const std::exception&) {
            return true;  // e.g. out of memory on an absurd message: drop it, keep serving
        }
        if (outcome.kind == LineOutcome::Kind::unparsable)
            log(logFd, kUnparsableLog);
        // The server idles between messages for hours: hand the freed parse and reply buffers
        // back to the system instead of keeping the peak of the largest message resident.
        ::malloc_trim(0);
        if (!outcome.reply)
            return true;
        std::string out = std::move(*outcome.reply);
        out += '\n';
        return writeAll(replyFd, out);
    };
    // Whatever id the line carried is lost with it, so the client hears of it as JSON-RPC says.
    auto refuseOverlong = [&] {
        log(logFd, kUnparsableLog);
        std::string out(kLineTooLongReply);
        out += '\n';
        return writeAll(replyFd, out);
    };

    for (;;) {
        const auto n = ::read(inFd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        pending.append(chunk, static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (;;) {
            const auto nl = pending.find('\n', std::max(start, scanFrom));
            if (nl == std::string::npos)
                break;
            const bool refused = overlong || nl - start > kMaxLineBytes;
            overlong = false;
            if (!(refused ? refuseOverlong() : handle(std::string_view(pending).substr(start, nl - start))))
                return false;
            start = nl + 1;
        }
        pending.erase(0, start);
        if (pending.size() > kMaxLineBytes) {
            overlong = true;
            std::string().swap(pending);  // gives the memory back, not just the length
        }
        scanFrom = pending.size();
    }
    // A last line without a line feed still counts.
    if (overlong)
        return refuseOverlong();
    if (!pending.empty() && !handle(pending))
        return false;
    return true;
}

void MCPServer::run() {
    // A reader that goes away must surface as EPIPE on write, not kill us mid-tool.
    std::signal(SIGPIPE, SIG_IGN);
    // Replies get a private descriptor; fd 1 then points at /dev/null so that nothing else (a
    // library's diagnostics included) can ever reach the client's stream.
    Fd reply(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
    if (const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC); devNull >= 0) {
        ::dup2(devNull, STDOUT_FILENO);
        ::close(devNull);
    }
    static const ServiceNowBackend backend;
    const Dispatcher dispatcher(backend);
    log(STDERR_FILENO, readyMessage());
    serve(STDIN_FILENO, reply.get(), STDERR_FILENO, dispatcher);
    // Either way the session is over; skip static destructors so no late output can appear.
    std::_Exit(0);
}

}  // namespace trayline::mcp
