#include "desktop/platform/single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include <QLocalServer>
#include <QLocalSocket>

#include "core/platform/paths.h"

namespace trayline {

namespace {

constexpr char kShow[] = "show\n";
constexpr char kToggle[] = "toggle\n";
constexpr char kReply[] = "ok\n";

// Creates `dir` 0700 if missing; refuses anything that is not a real directory of this user
// closed to everyone else (a symlink or a foreign /tmp directory could hand the socket to another
// user). A too-open directory of our own is closed.
void ensurePrivateDirectory(const std::filesystem::path& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        throw std::system_error(errno, std::system_category(), "cannot create " + dir.string());
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0)
        throw std::system_error(errno, std::system_category(), "cannot inspect " + dir.string());
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
        throw std::runtime_error(dir.string() + " is not a private directory of this user");
    if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0)
        throw std::system_error(errno, std::system_category(), "cannot make " + dir.string() + " private");
}

// One request and its confirmation over a fresh connection; false when nobody answers in time.
bool sendRequest(const std::string& path, std::string_view request, std::chrono::steady_clock::time_point deadline) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return false;
    if (::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        return false;
    std::string reply;
    while (reply.size() < sizeof kReply - 1) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd.get(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char buffer[8];
        const auto n = ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    return reply == kReply;
}

}  // namespace

SingleInstance::SingleInstance(std::filesystem::path dir, QObject* parent)
    : QObject(parent), dir_(std::move(dir)) {}

SingleInstance::~SingleInstance() {
    if (server_)
        server_->close();  // removes the socket file; the lock goes with the descriptor
}

std::filesystem::path SingleInstance::defaultDirectory() {
    // One instance per settings profile: a demo or test profile runs beside the everyday app.
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a, stable across builds
    for (const unsigned char c : paths::configHome().string())
        hash = (hash ^ c) * 1099511628211ull;
    char name[40];
    std::snprintf(name, sizeof name, "trayline-%016llx", static_cast<unsigned long long>(hash));
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/')
        return std::filesystem::path(runtime) / name;
    return std::filesystem::path("/tmp") / (std::string(name) + "-" + std::to_string(::getuid()));
}

SingleInstance::Role SingleInstance::claim() {
    ensurePrivateDirectory(dir_);
    const auto lockPath = dir_ / "instance.lock";
    UniqueFd fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd)
        throw std::system_error(errno, std::system_category(), "cannot open " + lockPath.string());
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            return Role::Secondary;
        throw std::system_error(errno, std::system_category(), "cannot lock " + lockPath.string());
    }
    lock_ = std::move(fd);
    listen();
    return Role::Primary;
}

void SingleInstance::listen() {
    const auto path = QString::fromStdString(socketPath().string());
    // Holding the lock means any socket file left here belongs to a process that has ended.
    QLocalServer::removeServer(path);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, &SingleInstance::onConnection);
    if (!server_->listen(path))  // the app still runs; a second start then cannot reach it
        std::fprintf(stderr, "trayline: cannot listen on %s: %s\n", socketPath().c_str(),
                     server_->errorString().toLocal8Bit().constData());
}

void SingleInstance::onConnection() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > 64)  // not a request of ours
                    socket->disconnectFromServer();
                return;
            }
            const QByteArray line = socket->readLine(64);
            const bool show = line == kShow, toggle = line == kToggle;
            if (show || toggle)
                socket->write(kReply, sizeof kReply - 1);
            socket->disconnectFromServer();
            if (show)
                Q_EMIT showRequested();
            else if (toggle)
                Q_EMIT toggleRequested();
        });
    }
}

bool SingleInstance::askPrimary(Request request, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const std::string path = socketPath().string();
    const std::string_view line = request == Request::toggle ? kToggle : kShow;
    while (!sendRequest(path, line, deadline)) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the primary may be starting
    }
    return true;
}

}  // namespace trayline
