// The key file beside a region (region_secret() in region_file.hpp).
#include "core/region/region_file.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/region/file_io.hpp"

namespace velmorquist {
namespace {

RegionError not_a_key_file(const std::string& path, const std::string& reason) {
    return {RegionFault::NotOurs, 0,
            quoted(path) + " is not a host state key file (" + reason + "); it was left untouched"};
}

std::expected<RegionSecret, RegionError> read_secret(int fd, const std::string& path) {
    struct stat info {};
    RegionSecret secret{};
    if (fstat(fd, &info) != 0) return std::unexpected(system_error(errno, "cannot inspect", path));
    if (!S_ISREG(info.st_mode)) return std::unexpected(not_a_key_file(path, "not a regular file"));
    if (info.st_size != static_cast<off_t>(secret.size()))
        return std::unexpected(not_a_key_file(path, std::to_string(info.st_size) + " bytes, not 32"));
    if (const std::string problem = ownership_problem(info, true); !problem.empty())
        return std::unexpected(RegionError{
            RegionFault::Refused, 0,
            quoted(path) + " is " + problem + "; it must be this user's with mode 0600"});
    if (!read_all(fd, secret.data(), secret.size(), 0))
        return std::unexpected(system_error(errno != 0 ? errno : EIO, "cannot read", path));
    return secret;
}

}  // namespace

std::expected<RegionSecret, RegionError> region_secret(const std::string& region_path,
                                                       bool create) {
    const std::string path = region_path + ".key";
    for (int attempt = 0; attempt < 3; ++attempt) {
        // O_NONBLOCK: a FIFO planted here must not hang the attach before its
        // type is checked.
        Fd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (fd.get() >= 0) return read_secret(fd.get(), path);
        if (errno == ELOOP) return std::unexpected(not_a_key_file(path, "a symbolic link"));
        if (errno != ENOENT) return std::unexpected(system_error(errno, "cannot open", path));
        if (!create) return std::unexpected(RegionError{RegionFault::NotFound, ENOENT, path});
        RegionSecret secret{};
        if (getrandom(secret.data(), secret.size(), 0) != static_cast<ssize_t>(secret.size()))
            return std::unexpected(system_error(errno, "no random bytes for", path));
        const int created = create_whole(path, [&](int out) -> std::optional<int> {
            if (!write_all(out, secret.data(), secret.size())) return errno;
            return std::nullopt;
        });
        if (created == 0) return secret;
        if (created != EEXIST) return std::unexpected(system_error(created, "cannot create", path));
        // Another process created it first: read theirs.
    }
    return std::unexpected(RegionError{RegionFault::System, EAGAIN, "cannot settle " + quoted(path)});
}

}  // namespace velmorquist
