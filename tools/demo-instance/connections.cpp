#include "connections.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

namespace trayline::demo {

namespace {

using Name = int (*)(int, sockaddr*, socklen_t*);

std::string socketAddress(int fd, Name name) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (name(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return {};
    return {reinterpret_cast<const char*>(&address), length};
}

}  // namespace

ConnectionTracker::~ConnectionTracker() {
    for (const auto& [duplicate, peer] : served_)
        ::close(duplicate);
}

void ConnectionTracker::listenerCreated(int fd) {
    std::lock_guard lock(mutex_);
    listenerFd_ = fd;  // the last call is the socket that was bound
}

void ConnectionTracker::listening() {
    std::lock_guard lock(mutex_);
    listenerAddress_ = socketAddress(listenerFd_, ::getsockname);
}

int ConnectionTracker::adopt() {
    std::lock_guard lock(mutex_);
    if (listenerAddress_.empty())
        return -1;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int found = -1;
    while (const dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (!end || *end || fd == ::dirfd(dir) || fd == listenerFd_)
            continue;
        if (socketAddress(static_cast<int>(fd), ::getsockname) != listenerAddress_)
            continue;  // not a connection of our listener (nor a socket at all)
        const std::string peer = socketAddress(static_cast<int>(fd), ::getpeername);
        bool known = peer.empty();
        for (const auto& [duplicate, servedPeer] : served_)
            known = known || servedPeer == peer;
        if (!known) {
            found = ::fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 0);
            if (found >= 0)
                served_.emplace(found, peer);
            break;
        }
    }
    ::closedir(dir);
    return found;
}

void ConnectionTracker::release(int duplicate) {
    if (duplicate < 0)
        return;
    std::lock_guard lock(mutex_);
    if (served_.erase(duplicate))
        ::close(duplicate);
}

void ConnectionTracker::endAll() {
    std::lock_guard lock(mutex_);
    for (const auto& [duplicate, peer] : served_)
        ::shutdown(duplicate, SHUT_RDWR);
}

void ConnectionQueue::enqueue(std::function<void()> fn) {
    ++tracker_.accepted;
    const int duplicate = tracker_.adopt();
    pool_.enqueue([this, fn = std::move(fn), duplicate] {
        fn();
        tracker_.release(duplicate);
    });
}

}  // namespace trayline::demo
