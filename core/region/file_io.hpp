// The file operations a region and its key file are made and read with:
// descriptors that close themselves, whole reads and writes, files that
// appear whole or not at all, and the ownership a shared file must have.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <utility>

#include "core/region/region_file.hpp"

namespace velmorquist {

// Closes a descriptor on every early return.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd();
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

[[nodiscard]] std::string quoted(const std::string& path);
// "<what> '<path>': <strerror(error)>", as a System fault carrying `error`.
[[nodiscard]] RegionError system_error(int error, const std::string& what, const std::string& path);

// False on an error or a short file (errno tells which, 0 for short).
[[nodiscard]] bool read_all(int fd, void* out, std::size_t size, off_t offset);
[[nodiscard]] bool write_all(int fd, const void* data, std::size_t size);

// Creates `path` (mode 0600) with the contents `fill(fd)` writes (nullopt,
// or the errno value of its failure), all at once: other processes see no
// file or the whole file. An unnamed file (O_TMPFILE) is filled and then
// linked into place, so a process killed half-way leaves nothing behind;
// where the filesystem has none, a named temporary is removed on every
// failure. 0, EEXIST when `path` appeared first, or an errno value.
[[nodiscard]] int create_whole(const std::string& path,
                               const std::function<std::optional<int>(int fd)>& fill);

// Why a file of ours must not be trusted, or "" when it may: it must be this
// user's, and nobody else may write it (nor read it, for a secret).
[[nodiscard]] std::string ownership_problem(const struct stat& info, bool secret);
[[nodiscard]] RegionError untrusted(const std::string& path, const std::string& problem);

}  // namespace velmorquist
