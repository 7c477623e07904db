#include "core/region/file_io.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace velmorquist {
namespace {

// A unique sibling name for building a file before it is linked into place,
// where the filesystem has no unnamed files.
std::string temporary_name(const std::string& path) {
    std::uint64_t nonce = 0;
    if (getrandom(&nonce, sizeof nonce, 0) != sizeof nonce)
        nonce = static_cast<std::uint64_t>(getpid());
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".%d.%016llx.tmp", static_cast<int>(getpid()),
                  static_cast<unsigned long long>(nonce));
    return path + suffix;
}

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Gives `fd`, an unnamed file, the name `path`. 0, EEXIST or an errno value.
int link_unnamed(int fd, const std::string& path) {
    if (linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0) return 0;
    if (errno != ENOENT && errno != EPERM) return errno;
    // AT_EMPTY_PATH needs a capability; the descriptor's /proc name does not.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0
                                                                                          : errno;
}

}  // namespace

Fd::~Fd() {
    if (fd_ >= 0) close(fd_);
}

std::string quoted(const std::string& path) { return "'" + path + "'"; }

RegionError system_error(int error, const std::string& what, const std::string& path) {
    return {RegionFault::System, error, what + " " + quoted(path) + ": " + std::strerror(error)};
}

bool read_all(int fd, void* out, std::size_t size, off_t offset) {
    auto* bytes = static_cast<char*>(out);
    while (size > 0) {
        const ssize_t got = pread(fd, bytes, size, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        bytes += got;
        size -= static_cast<std::size_t>(got);
        offset += got;
    }
    return true;
}

bool write_all(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t put = write(fd, bytes, size);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        bytes += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

int create_whole(const std::string& path,
                 const std::function<std::optional<int>(int fd)>& fill) {
    Fd unnamed(open(directory_of(path).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (unnamed.get() >= 0) {
        if (std::optional<int> failed = fill(unnamed.get())) return *failed;
        return link_unnamed(unnamed.get(), path);
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return errno;
    const std::string temporary = temporary_name(path);
    Fd named(open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (named.get() < 0) return errno;
    std::optional<int> failed;
    try {
        failed = fill(named.get());
    } catch (...) {
        unlink(temporary.c_str());
        throw;
    }
    const int result = failed ? *failed : (link(temporary.c_str(), path.c_str()) == 0 ? 0 : errno);
    unlink(temporary.c_str());
    return result;
}


std::string ownership_problem(const struct stat& info, bool secret) {
    if (info.st_uid != geteuid()) return "owned by another user";
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "writable by other users";
    if (secret && (info.st_mode & (S_IRGRP | S_IROTH)) != 0) return "readable by other users";
    return "";
}

RegionError untrusted(const std::string& path, const std::string& problem) {
    return {RegionFault::Refused, 0,
            quoted(path) + " is " + problem + "; it must be this user's and writable by nobody else"};
}

}  // namespace velmorquist
