#include "platform/Files.h"
#include "platform/ReadToEnd.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Closes a descriptor when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Saves may run on several threads; std::strerror is not safe there.
std::string SystemReason(int error) { return std::generic_category().message(error); }

// The temporary files being written, for a signal handler to remove. Each slot is claimed with
// one atomic step and its name published before the file is created, so that a handler sees
// every file that may exist; a name in a slot may at worst already be gone.
struct PendingTemporary {
    std::atomic<int> state{0};  // 0 free, 1 being filled in, 2 named
    char path[PATH_MAX + 1] = {};
};
PendingTemporary g_pending[32];

class TemporaryRegistration {
public:
    explicit TemporaryRegistration(const std::string& path) {
        if (path.size() > PATH_MAX) {
            return;
        }
        for (PendingTemporary& slot : g_pending) {
            int expected = 0;
            if (slot.state.compare_exchange_strong(expected, 1)) {
                path.copy(slot.path, path.size());
                slot.path[path.size()] = '\0';
                slot.state.store(2);
                slot_ = &slot;
                return;
            }
        }
    }
    ~TemporaryRegistration() {
        if (slot_ != nullptr) {
            slot_->state.store(0);
        }
    }
    TemporaryRegistration(const TemporaryRegistration&) = delete;
    TemporaryRegistration& operator=(const TemporaryRegistration&) = delete;

private:
    PendingTemporary* slot_ = nullptr;
};

// Moves `from` to `to` unless `to` exists, atomically; the link-and-unlink fallback serves file
// systems (and C libraries, as the WebAssembly one) without RENAME_NOREPLACE.
int RenameWithoutReplacing(const char* from, const char* to) {
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return -1;
    }
#endif
    if (::link(from, to) == 0) {
        ::unlink(from);
        return 0;
    }
    if (errno != EMLINK && errno != EPERM && errno != ENOSYS && errno != EOPNOTSUPP) {
        return -1;
    }
    // No hard links here either (some file systems, the WebAssembly runtime's): reserve the name
    // with an exclusive create, then rename over the empty file this call itself made.
    const int reserved = ::open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (reserved < 0) {
        return -1;
    }
    ::close(reserved);
    if (::rename(from, to) != 0) {
        const int error = errno;
        ::unlink(to);
        errno = error;
        return -1;
    }
    return 0;
}

// Writes all of `data`, retrying short writes and interrupted calls.
bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// A fresh, not yet existing name in `folder`, created exclusively so that no other file is ever
// touched, and registered for removal on a signal before it exists. The mode follows the umask
// like any new file's.
int CreateTemporaryIn(const std::filesystem::path& folder, std::string& tempPath,
                      std::optional<TemporaryRegistration>& registration) {
    static std::atomic<unsigned> counter{0};
    std::random_device entropy;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, ".vetrix-%ld-%u-%08x.tmp", static_cast<long>(getpid()),
                      counter.fetch_add(1), entropy());
        tempPath = (folder / suffix).string();
        registration.emplace(tempPath);
        const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            return fd;
        }
        const int error = errno;
        registration.reset();
        if (error != EEXIST) {
            errno = error;
            return -1;
        }
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

FileBytes ReadFileBytes(const std::string& path, std::uint64_t maxBytes, bool followLinks) {
    FileBytes file;
    if (path.empty()) {
        file.error = std::make_error_code(std::errc::no_such_file_or_directory);
        return file;
    }
    // O_NONBLOCK keeps the open from waiting for a FIFO's writer; the type is checked on the
    // opened file, so that a name swapped in between cannot make it read something else.
    const Descriptor fd(
        ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW)));
    if (fd.get() < 0) {
        file.error = std::error_code(errno, std::generic_category());
        return file;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        file.error = std::error_code(errno, std::generic_category());
        return file;
    }
    if (!S_ISREG(st.st_mode)) {
        file.error = std::make_error_code(S_ISDIR(st.st_mode) ? std::errc::is_a_directory
                                                              : std::errc::invalid_argument);
        return file;
    }
    file.length = static_cast<std::uint64_t>(st.st_size);
    if (file.length > maxBytes) {
        file.error = std::make_error_code(std::errc::file_too_large);
        return file;
    }
    file.bytes.resize(static_cast<std::size_t>(file.length));
    std::size_t done = 0;
    while (done < file.bytes.size()) {
        const ssize_t n = ::read(fd.get(), file.bytes.data() + done, file.bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            file.error = std::error_code(errno, std::generic_category());
            file.bytes.clear();
            return file;
        }
        if (n == 0) {
            break;  // cut short while being read: what is there is the file now
        }
        done += static_cast<std::size_t>(n);
    }
    file.bytes.resize(done);
    file.length = done;
    return file;
}

FileBytes ReadDescriptorBytes(int fd, std::uint64_t maxBytes) {
    return ReadToEnd(
        [fd](std::uint8_t* buffer, std::size_t size) {
            return static_cast<long long>(::read(fd, buffer, size));
        },
        maxBytes);
}

WriteResult WriteFileAtomically(const std::vector<std::uint8_t>& bytes, const std::string& path,
                                ExistingTarget existing) {
    WriteResult result;
    const std::filesystem::path target(path);
    if (path.empty() || !target.has_filename()) {
        result.error = "文件名无效";
        return result;
    }

    const std::filesystem::path folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    std::string tempPath;
    std::optional<TemporaryRegistration> registration;
    const int fd = CreateTemporaryIn(folder, tempPath, registration);
    if (fd < 0) {
        result.error = "无法在目标文件夹中创建文件：" + SystemReason(errno);
        return result;
    }
    // A replaced regular file keeps its permissions, but never a set-ID bit, which would hand
    // the new content the owner's rights. lstat: a link's target is not what gets replaced.
    struct stat old {};
    if (existing == ExistingTarget::Replace && ::lstat(path.c_str(), &old) == 0 &&
        S_ISREG(old.st_mode)) {
        ::fchmod(fd, old.st_mode & 0777);
    }
    const bool written = WriteAll(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
    const int writeError = errno;
    if (::close(fd) != 0 || !written) {
        const int error = written ? errno : writeError;
        ::unlink(tempPath.c_str());
        result.error = "写入文件失败：" + SystemReason(error);
        return result;
    }
    const int renamed = existing == ExistingTarget::Replace
                            ? ::rename(tempPath.c_str(), path.c_str())
                            : RenameWithoutReplacing(tempPath.c_str(), path.c_str());
    if (renamed != 0) {
        const int error = errno;
        ::unlink(tempPath.c_str());
        result.exists = error == EEXIST;
        result.error = "无法保存为该文件名：" + SystemReason(error);
        return result;
    }
    result.ok = true;
    return result;
}

namespace {

// Opens `fileName` with `flags` and keeps it only when it is a file a log can be appended to.
// O_NONBLOCK keeps the open of a FIFO from waiting for the other end; it is dropped again so
// that a terminal or other device is written normally.
int OpenAppendable(const char* fileName, int flags) {
    const int fd = ::open(fileName, flags | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) {
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISCHR(st.st_mode))) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    const int status = ::fcntl(fd, F_GETFL);
    if (status == -1 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) == -1) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

}  // namespace

std::FILE* OpenFileForAppending(const char* fileName) {
    // Reading and appending, as the log has always been opened; a file that may be appended to
    // but not read (mode 200) is appended to all the same. Nothing here ever truncates.
    const char* mode = "a+";
    int fd = OpenAppendable(fileName, O_RDWR);
    if (fd < 0 && errno != EINVAL) {
        mode = "a";
        fd = OpenAppendable(fileName, O_WRONLY);
    }
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* stream = ::fdopen(fd, mode);
    if (stream == nullptr) {
        const int error = errno;
        ::close(fd);
        errno = error;
    }
    return stream;
}

std::optional<FileIdentity> IdentifyFile(const std::string& path, bool followLinks) {
    struct stat st {};
    if ((followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) {
        return std::nullopt;
    }
    return FileIdentity{static_cast<std::uint64_t>(st.st_dev),
                        static_cast<std::uint64_t>(st.st_ino)};
}

std::string InstalledFilePath(const std::string& configured) { return configured; }

void RemovePendingTemporaries() noexcept {
    for (PendingTemporary& slot : g_pending) {
        if (slot.state.load() == 2) {
            ::unlink(slot.path);
        }
    }
}
