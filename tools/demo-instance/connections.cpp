#include "connections.h"

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>

namespace trayline::demo {

CountingPool::CountingPool(std::size_t threads, std::atomic<std::size_t>& counter) : pool_(threads), counter_(counter) {}

void CountingPool::enqueue(std::function<void()> fn) {
    ++counter_;
    pool_.enqueue(std::move(fn));
}

void CountingPool::shutdown() { pool_.shutdown(); }

void shutdownServerConnections(int port) {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return;
    const int self = dirfd(dir);
    while (const dirent* e = readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(e->d_name, &end, 10);
        if (!end || *end || fd == self) continue;
        struct stat st {};
        if (fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        if (getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&addr), &len) != 0) continue;
        int local = -1;
        if (addr.ss_family == AF_INET) local = ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
        if (addr.ss_family == AF_INET6) local = ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
        if (local != port) continue;
        sockaddr_storage peer{};
        socklen_t peerLen = sizeof peer;
        if (getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0) continue;  // a listener
        ::shutdown(static_cast<int>(fd), SHUT_RDWR);
    }
    closedir(dir);
}

}  // namespace trayline::demo
