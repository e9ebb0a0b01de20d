#include "core/platform/atomic_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <system_error>

namespace trayline {

namespace {

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Closes a descriptor on every path out of a scope.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
};

}  // namespace

FileLock::FileLock(const std::filesystem::path& target) {
    std::error_code ec;
    std::filesystem::create_directories(target.parent_path(), ec);
    const auto lockPath = target.string() + ".lock";
    fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0)
        throwErrno("cannot open " + lockPath);
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            const int saved = errno;
            ::close(fd_);
            errno = saved;
            throwErrno("cannot lock " + lockPath);
        }
    }
}

FileLock::~FileLock() {
    if (fd_ >= 0)
        ::close(fd_);  // closing releases the lock
}

std::optional<std::string> readWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream s;
    s << in.rdbuf();
    if (in.bad())
        return std::nullopt;
    return s.str();
}

void writeFileAtomically(const std::filesystem::path& path, const std::string& content,
                         unsigned mode) {
    std::string temp = path.string() + ".tmp-XXXXXX";
    Fd f{::mkstemp(temp.data())};
    if (f.fd < 0)
        throwErrno("cannot create a temporary file beside " + path.string());
    bool renamed = false;
    struct Cleanup {
        const std::string& temp;
        bool& renamed;
        ~Cleanup() {
            if (!renamed)
                ::unlink(temp.c_str());
        }
    } cleanup{temp, renamed};

    if (::fchmod(f.fd, static_cast<mode_t>(mode)) != 0)
        throwErrno("cannot set permissions of " + temp);
    const char* p = content.data();
    std::size_t left = content.size();
    while (left > 0) {
        const ssize_t n = ::write(f.fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throwErrno("cannot write " + temp);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::fsync(f.fd) != 0)
        throwErrno("cannot flush " + temp);
    if (::rename(temp.c_str(), path.c_str()) != 0)
        throwErrno("cannot replace " + path.string());
    renamed = true;
    // Make the rename itself durable.
    Fd dir{::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (dir.fd >= 0)
        ::fsync(dir.fd);
}

}  // namespace trayline
