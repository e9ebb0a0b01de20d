#include "server_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace trayline::test {

namespace {

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() {
        if (::pipe2(fd, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
    }
    ~Pipe() {
        closeEnd(0);
        closeEnd(1);
    }
    void closeEnd(int i) {
        if (fd[i] >= 0)
            ::close(fd[i]);
        fd[i] = -1;
    }
};

}  // namespace

ServerRun runServer(const std::string& input, const ServerOptions& options) {
    Pipe in, out, err;
    std::vector<std::string> args = {TRAYLINE_BINARY};
    args.insert(args.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(in.fd[0], 0);
        ::dup2(out.fd[1], 1);
        ::dup2(err.fd[1], 2);
        ::signal(SIGPIPE, SIG_DFL);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    in.closeEnd(0);
    out.closeEnd(1);
    err.closeEnd(1);
    if (options.closeStdoutEarly)
        out.closeEnd(0);
    // The test process itself must survive a server that stops reading.
    ::signal(SIGPIPE, SIG_IGN);

    ServerRun run;
    std::size_t written = 0;
    if (input.empty())
        in.closeEnd(1);
    char buffer[65536];
    while (in.fd[1] >= 0 || out.fd[0] >= 0 || err.fd[0] >= 0) {
        pollfd fds[3] = {{in.fd[1], POLLOUT, 0}, {out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}};
        if (::poll(fds, 3, 60000) <= 0)
            break;
        if (fds[0].revents) {
            const auto n = ::write(in.fd[1], input.data() + written, std::min<std::size_t>(input.size() - written, 1 << 20));
            if (n > 0)
                written += static_cast<std::size_t>(n);
            if (n < 0 || written == input.size())
                in.closeEnd(1);
        }
        for (int i : {1, 2}) {
            if (!fds[i].revents)
                continue;
            const auto n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0)
                (i == 1 ? run.out : run.err).append(buffer, static_cast<std::size_t>(n));
            else
                (i == 1 ? out : err).closeEnd(0);
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        run.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        run.signal = WTERMSIG(status);
    return run;
}

}  // namespace trayline::test
