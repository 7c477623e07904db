#include "core/region/region_file.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <utility>

#include "core/region/bus_guard.hpp"
#include "core/region/file_io.hpp"
#include "core/region/shared_layout.hpp"

namespace velmorquist {
namespace {

constexpr off_t kLivenessByte = 0;
constexpr off_t kAttachByte = 1;

RegionError not_ours(const std::string& path, const std::string& reason) {
    return {RegionFault::NotOurs, 0,
            quoted(path) + " is not a velmorquist_proxy host state region (" + reason +
                "); it was left untouched"};
}

// F_OFD_SETLK(W) on one byte; 0 or an errno value.
int ofd_lock(int fd, short type, off_t byte, bool wait) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    while (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

// What a region file's header says about it.
enum class Verdict { Usable, Stale, NotOurs };
struct Check {
    Verdict verdict;
    std::string reason;
};

Check check_region(int fd, const RegionRequest& request, std::uint64_t file_size) {
    if (file_size == 0) return {Verdict::NotOurs, "empty"};
    std::uint64_t magic = 0;
    std::uint32_t version = 0;
    if (file_size < 12 || !read_all(fd, &magic, sizeof magic, 0) ||
        !read_all(fd, &version, sizeof version, 8))
        return {Verdict::NotOurs, "too short"};
    if (magic != kRegionMagic) return {Verdict::NotOurs, "unknown contents"};
    if (version != kLayoutVersion)
        return {Verdict::Stale, "made by layout version " + std::to_string(version)};
    if (file_size < sizeof(RegionHeader)) return {Verdict::NotOurs, "truncated"};
    RegionHeader header;
    if (!read_all(fd, &header, sizeof header, 0)) return {Verdict::NotOurs, "unreadable"};
    if (header.ready.load() != 1) return {Verdict::Stale, "its building was interrupted"};
    if (header.header_bytes != sizeof(RegionHeader) ||
        header.provider_slot_bytes != sizeof(ProviderSlot) ||
        header.key_slot_bytes != sizeof(KeySlot))
        return {Verdict::Stale, "made by a build with another slot layout"};
    const RegionGeometry geometry = region_geometry(header.provider_count, header.key_count);
    if (header.region_bytes != geometry.total_bytes) return {Verdict::NotOurs, "damaged header"};
    if (file_size < header.region_bytes) return {Verdict::NotOurs, "truncated"};
    if (file_size > header.region_bytes) return {Verdict::NotOurs, "unexpected trailing bytes"};
    if (std::memcmp(header.boot_id, current_boot_id().data(), kBootIdBytes) != 0)
        return {Verdict::Stale, "made before the last reboot"};
    if (header.key_check != request.key_check)
        return {Verdict::Stale, "made with another key file: '" + request.path +
                                    ".key' was replaced since"};
    if (header.provider_count != request.provider_count ||
        header.key_count != request.key_count || header.config_hash != request.config_hash)
        return {Verdict::Stale, "made for another set of providers, keys or settings"};
    return {Verdict::Usable, ""};
}

// Writes a whole region at `base`, mapped for `request`'s geometry. `ready`
// goes to 1 last, so a build cut short is recognised as such.
void write_region(std::byte* base, const RegionRequest& request, const SlotInitialiser& init) {
    const RegionGeometry geometry = region_geometry(request.provider_count, request.key_count);
    auto* header = reinterpret_cast<RegionHeader*>(base);
    // Magic and version stay ours throughout; everything after them restarts.
    header->magic = kRegionMagic;
    header->layout_version = kLayoutVersion;
    std::memset(base + 12, 0, geometry.total_bytes - 12);
    header->header_bytes = sizeof(RegionHeader);
    header->region_bytes = geometry.total_bytes;
    header->provider_slot_bytes = sizeof(ProviderSlot);
    header->key_slot_bytes = sizeof(KeySlot);
    header->provider_count = request.provider_count;
    header->key_count = request.key_count;
    header->config_hash = request.config_hash;
    header->key_check = request.key_check;
    std::memcpy(header->boot_id, current_boot_id().data(), kBootIdBytes);
    header->reset_day.store(std::numeric_limits<std::int64_t>::min());
    init(base);
    header->ready.store(1, std::memory_order_release);
}

// Writes a whole region into `fd` (already at its final size or growable).
std::optional<int> build_region(int fd, const RegionRequest& request,
                                const SlotInitialiser& init) {
    const RegionGeometry geometry = region_geometry(request.provider_count, request.key_count);
    if (ftruncate(fd, static_cast<off_t>(geometry.total_bytes)) != 0) return errno;
    // Reserved for real: on a full tmpfs the first write into a page that is
    // not there would be SIGBUS, not an error.
    if (const int error = posix_fallocate(fd, 0, static_cast<off_t>(geometry.total_bytes)))
        return error;
    void* mapped =
        mmap(nullptr, geometry.total_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) return errno;
    try {
        write_region(static_cast<std::byte*>(mapped), request, init);
    } catch (...) {
        munmap(mapped, geometry.total_bytes);
        throw;
    }
    munmap(mapped, geometry.total_bytes);
    return std::nullopt;
}

// Builds a region under a temporary name and links it to request.path.
// 0, EEXIST when another process created it first, or another errno value.
int create_region(const RegionRequest& request, const SlotInitialiser& init) {
    return create_whole(request.path, [&](int fd) { return build_region(fd, request, init); });
}

// Marks an existing region of our version as being rebuilt before its size
// changes, so a crash mid-way leaves "interrupted", never "damaged".
void mark_rebuilding(int fd, std::uint64_t file_size) {
    if (file_size < sizeof(RegionHeader)) return;
    std::uint32_t version = 0;
    if (!read_all(fd, &version, sizeof version, 8) || version != kLayoutVersion) return;
    const std::uint32_t zero = 0;
    (void)!pwrite(fd, &zero, sizeof zero, offsetof(RegionHeader, ready));
}

}  // namespace

std::array<char, 40> current_boot_id() {
    static const std::array<char, 40> id = [] {
        std::array<char, 40> read{};
        Fd fd(open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC));
        if (fd.get() >= 0) (void)!::read(fd.get(), read.data(), read.size() - 1);
        return read;
    }();
    return id;
}

std::optional<RegionError> foreign_region(const std::string& path) {
    Fd fd(open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0 && errno == ENOENT) return std::nullopt;
    if (fd.get() < 0 && errno == ELOOP) return not_ours(path, "a symbolic link");
    if (fd.get() < 0) return system_error(errno, "cannot open", path);
    struct stat info {};
    if (fstat(fd.get(), &info) != 0) return system_error(errno, "cannot inspect", path);
    if (!S_ISREG(info.st_mode)) return not_ours(path, "not a regular file");
    if (const std::string problem = ownership_problem(info, false); !problem.empty())
        return untrusted(path, problem);
    const Check check = check_region(fd.get(), RegionRequest{}, static_cast<std::uint64_t>(info.st_size));
    if (check.verdict == Verdict::NotOurs) return not_ours(path, check.reason);
    return std::nullopt;
}

std::expected<RegionFile, RegionError> RegionFile::attach(const RegionRequest& request,
                                                          const SlotInitialiser& init) {
    const std::string& path = request.path;
    bool created = false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        Fd fd(open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (fd.get() < 0) {
            const int error = errno;
            if (error == ELOOP) return std::unexpected(not_ours(path, "a symbolic link"));
            if (error == ENOENT && request.create) {
                const int result = create_region(request, init);
                if (result != 0 && result != EEXIST)
                    return std::unexpected(system_error(result, "cannot create", path));
                created = result == 0;
                continue;  // now open what is there
            }
            if (error == ENOENT)
                return std::unexpected(RegionError{RegionFault::NotFound, ENOENT, path});
            return std::unexpected(system_error(error, "cannot open", path));
        }
        struct stat info {};
        if (fstat(fd.get(), &info) != 0)
            return std::unexpected(system_error(errno, "cannot inspect", path));
        if (!S_ISREG(info.st_mode)) return std::unexpected(not_ours(path, "not a regular file"));
        if (const std::string problem = ownership_problem(info, false); !problem.empty())
            return std::unexpected(untrusted(path, problem));

        if (int error = ofd_lock(fd.get(), F_WRLCK, kAttachByte, true); error != 0)
            return std::unexpected(system_error(error, "cannot lock", path));
        const bool nobody_attached = ofd_lock(fd.get(), F_WRLCK, kLivenessByte, false) == 0;
        if (fstat(fd.get(), &info) != 0)
            return std::unexpected(system_error(errno, "cannot inspect", path));
        const auto file_size = static_cast<std::uint64_t>(info.st_size);
        const Check check = check_region(fd.get(), request, file_size);
        if (check.verdict == Verdict::NotOurs) return std::unexpected(not_ours(path, check.reason));

        const bool rebuild = check.verdict == Verdict::Stale || (request.fresh && !created);
        if (rebuild && !nobody_attached) {
            const std::string why = check.verdict == Verdict::Stale
                                        ? "was " + check.reason
                                        : "cannot start fresh";
            return std::unexpected(RegionError{
                RegionFault::Refused, 0,
                quoted(path) + " " + why + ", and a live process has it attached"});
        }
        if (check.verdict == Verdict::Stale && !request.create)
            return std::unexpected(RegionError{
                RegionFault::Refused, 0,
                quoted(path) + " was " + check.reason + "; create=True would rebuild it"});
        if (rebuild) {
            mark_rebuilding(fd.get(), file_size);
            if (std::optional<int> failed = build_region(fd.get(), request, init))
                return std::unexpected(system_error(*failed, "cannot build", path));
        }
        // Converting our write lock (or taking a read lock beside the others'
        // read locks) cannot conflict: writers exist only under the attach lock.
        if (int error = ofd_lock(fd.get(), F_RDLCK, kLivenessByte, true); error != 0)
            return std::unexpected(system_error(error, "cannot lock", path));
        const std::size_t size = region_geometry(request.provider_count, request.key_count).total_bytes;
        void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
        if (mapped == MAP_FAILED) return std::unexpected(system_error(errno, "cannot map", path));
        (void)ofd_lock(fd.get(), F_UNLCK, kAttachByte, false);
        return RegionFile(fd.release(), static_cast<std::byte*>(mapped), size, path);
    }
    return std::unexpected(RegionError{RegionFault::System, EAGAIN, "cannot settle " + quoted(path)});
}

std::expected<RegionFile, RegionError> RegionFile::private_memory(const RegionRequest& request,
                                                                  const SlotInitialiser& init) {
    const std::size_t size = region_geometry(request.provider_count, request.key_count).total_bytes;
    // MAP_PRIVATE: a forked child gets its own copy, as with any other memory.
    void* mapped =
        mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
        const int error = errno;
        return std::unexpected(RegionError{RegionFault::System, error,
                                           std::string("cannot map private memory: ") +
                                               std::strerror(error)});
    }
    RegionFile region(-1, static_cast<std::byte*>(mapped), size);
    write_region(region.base(), request, init);
    return region;
}

RegionFile::RegionFile(int fd, std::byte* base, std::size_t size, std::string path)
    : fd_(fd),
      base_(base),
      size_(size),
      path_(std::move(path)),
      truncated_(std::make_unique<std::atomic<std::uint32_t>>(0)) {
    // Private memory has no file to lose.
    if (fd_ >= 0) (void)guard_mapping(base_, size_, truncated_.get());
}

RegionFile::RegionFile(RegionFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      base_(std::exchange(other.base_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      path_(std::move(other.path_)),
      truncated_(std::move(other.truncated_)) {}

std::string RegionFile::damage() const {
    if (truncated_ == nullptr || truncated_->load(std::memory_order_relaxed) == 0) return "";
    return "the host state region " + quoted(path_) +
           " was truncated by another process while in use; its state is gone from this "
           "process: restart the workers";
}

bool RegionFile::still_named() const noexcept {
    if (fd_ < 0) return true;
    struct stat mapped {};
    struct stat named {};
    if (fstat(fd_, &mapped) != 0 || mapped.st_nlink == 0) return false;
    // A cut inside the last page faults nothing; this look is what notices it.
    if (static_cast<std::uint64_t>(mapped.st_size) < size_) truncated_->store(1);
    if (stat(path_.c_str(), &named) != 0) return false;
    return named.st_dev == mapped.st_dev && named.st_ino == mapped.st_ino;
}

RegionFile::~RegionFile() {
    if (base_ != nullptr && fd_ >= 0) unguard_mapping(base_);
    if (base_ != nullptr) munmap(base_, size_);
    if (fd_ >= 0) close(fd_);
}

}  // namespace velmorquist
