#include "platform/Files.h"
#include "platform/ReadToEnd.h"

#include <atomic>
#include <cerrno>
#include <cwchar>
#include <filesystem>
#include <random>

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include "platform/WinText.h"

namespace {

// Closes a handle when it goes.
class Handle {
public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() {
        if (valid()) {
            ::CloseHandle(handle_);
        }
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE release() {
        HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }

private:
    HANDLE handle_;
};

// The C library's error number for a system error, so that reasons read as they do on Linux.
int ErrnoOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT:
            return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_INVALID_NAME:
        case ERROR_INVALID_PARAMETER:
        case ERROR_NO_UNICODE_TRANSLATION:
            return EINVAL;
        default:
            return EIO;
    }
}

std::error_code LastError() {
    return std::error_code(ErrnoOf(::GetLastError()), std::generic_category());
}

std::string SystemReason(int error) { return std::generic_category().message(error); }

bool IsLink(HANDLE file) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    return ::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) &&
           (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           IsReparseTagNameSurrogate(tag.ReparseTag);
}

// The temporary files being written, for the console handler to remove. Each slot is claimed
// with one atomic step and its name published before the file is created, so that the handler
// sees every file that may exist; a name in a slot may at worst already be gone.
constexpr std::size_t kMaxTemporaryName = 4096;
struct PendingTemporary {
    std::atomic<int> state{0};  // 0 free, 1 being filled in, 2 named
    wchar_t path[kMaxTemporaryName + 1] = {};
};
PendingTemporary g_pending[32];

class TemporaryRegistration {
public:
    TemporaryRegistration() = default;
    ~TemporaryRegistration() { Release(); }
    TemporaryRegistration(const TemporaryRegistration&) = delete;
    TemporaryRegistration& operator=(const TemporaryRegistration&) = delete;

    // Publishes `path` in a free slot (a name too long for one, or a 33rd save at once, goes
    // unregistered: the handler cannot remove it, the save itself still does).
    void Register(const std::wstring& path) {
        Release();
        if (path.size() > kMaxTemporaryName) {
            return;
        }
        for (PendingTemporary& slot : g_pending) {
            int expected = 0;
            if (slot.state.compare_exchange_strong(expected, 1)) {
                path.copy(slot.path, path.size());
                slot.path[path.size()] = L'\0';
                slot.state.store(2);
                slot_ = &slot;
                return;
            }
        }
    }
    void Release() {
        if (slot_ != nullptr) {
            slot_->state.store(0);
            slot_ = nullptr;
        }
    }

private:
    PendingTemporary* slot_ = nullptr;
};

// A fresh, not yet existing file in `folder`, created exclusively so that no other file is ever
// touched, and registered for removal before it exists. Others may delete it while it is open
// (FILE_SHARE_DELETE), so that the console handler can remove it under a running save.
HANDLE CreateTemporaryIn(const std::filesystem::path& folder, std::wstring& tempPath,
                         TemporaryRegistration& registration) {
    static std::atomic<unsigned> counter{0};
    std::random_device entropy;
    for (int attempt = 0; attempt < 100; ++attempt) {
        wchar_t suffix[64];
        std::swprintf(suffix, sizeof suffix / sizeof suffix[0], L".vetrix-%lu-%u-%08x.tmp",
                      static_cast<unsigned long>(::GetCurrentProcessId()), counter.fetch_add(1),
                      entropy());
        tempPath = (folder / suffix).wstring();
        registration.Register(tempPath);
        const HANDLE file = ::CreateFileW(tempPath.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE,
                                          nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            return file;
        }
        const DWORD error = ::GetLastError();
        registration.Release();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            ::SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
    }
    ::SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
}

bool WriteAll(HANDLE file, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(file, data, chunk, &written, nullptr)) {
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

// Puts the finished temporary file in the target's place. A regular file that is replaced hands
// its attributes and permissions on to the new content (ReplaceFileW), as a replaced file keeps
// its mode on Linux; anything else with the name (a link) is replaced as it is, never followed.
bool MoveIntoPlace(const std::wstring& from, const std::wstring& to, ExistingTarget existing) {
    if (existing == ExistingTarget::Keep) {
        return ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
    }
    const DWORD attributes = ::GetFileAttributesW(to.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
        ::ReplaceFileW(to.c_str(), from.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                       nullptr)) {
        return true;
    }
    return ::MoveFileExW(from.c_str(), to.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace

FileBytes ReadFileBytes(const std::string& path, std::uint64_t maxBytes, bool followLinks) {
    FileBytes file;
    const std::optional<std::wstring> name = WideFromUtf8(path);
    if (path.empty() || !name) {
        file.error = std::make_error_code(path.empty() ? std::errc::no_such_file_or_directory
                                                       : std::errc::invalid_argument);
        return file;
    }
    // Backup semantics open a folder too, so that it is told apart from a file that cannot be
    // read; the type is checked on the opened handle, so that a name swapped in between cannot
    // make it read something else.
    const Handle handle(::CreateFileW(name->c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN |
                                          (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
                                      nullptr));
    if (!handle.valid()) {
        file.error = LastError();
        return file;
    }
    if (!followLinks && IsLink(handle.get())) {
        file.error = std::make_error_code(std::errc::too_many_symbolic_link_levels);
        return file;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle.get(), &info)) {
        file.error = LastError();
        return file;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        file.error = std::make_error_code(std::errc::is_a_directory);
        return file;
    }
    if (::GetFileType(handle.get()) != FILE_TYPE_DISK) {
        file.error = std::make_error_code(std::errc::invalid_argument);
        return file;
    }
    file.length = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    if (file.length > maxBytes) {
        file.error = std::make_error_code(std::errc::file_too_large);
        return file;
    }
    file.bytes.resize(static_cast<std::size_t>(file.length));
    std::size_t done = 0;
    while (done < file.bytes.size()) {
        const DWORD chunk =
            static_cast<DWORD>(std::min<std::size_t>(file.bytes.size() - done, 1u << 30));
        DWORD read = 0;
        if (!::ReadFile(handle.get(), file.bytes.data() + done, chunk, &read, nullptr)) {
            file.error = LastError();
            file.bytes.clear();
            return file;
        }
        if (read == 0) {
            break;  // cut short while being read: what is there is the file now
        }
        done += read;
    }
    file.bytes.resize(done);
    file.length = done;
    return file;
}

FileBytes ReadDescriptorBytes(int fd, std::uint64_t maxBytes) {
    // A photo is bytes: no end-of-file character or line end may be interpreted.
    ::_setmode(fd, _O_BINARY);
    return ReadToEnd(
        [fd](std::uint8_t* buffer, std::size_t size) {
            return static_cast<long long>(::_read(fd, buffer, static_cast<unsigned>(size)));
        },
        maxBytes);
}

WriteResult WriteFileAtomically(const std::vector<std::uint8_t>& bytes, const std::string& path,
                                ExistingTarget existing) {
    WriteResult result;
    const std::optional<std::wstring> wide = WideFromUtf8(path);
    if (path.empty() || !wide) {
        result.error = "文件名无效";
        return result;
    }
    const std::filesystem::path target(*wide);
    if (!target.has_filename()) {
        result.error = "文件名无效";
        return result;
    }
    const std::filesystem::path folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(L".");
    std::wstring tempPath;
    TemporaryRegistration registration;
    Handle temp(CreateTemporaryIn(folder, tempPath, registration));
    if (!temp.valid()) {
        result.error = "无法在目标文件夹中创建文件：" + SystemReason(ErrnoOf(::GetLastError()));
        return result;
    }
    const bool written =
        WriteAll(temp.get(), bytes.data(), bytes.size()) && ::FlushFileBuffers(temp.get());
    const DWORD writeError = ::GetLastError();
    const bool closed = ::CloseHandle(temp.release()) != 0;
    if (!closed || !written) {
        const DWORD error = written ? ::GetLastError() : writeError;
        ::DeleteFileW(tempPath.c_str());
        result.error = "写入文件失败：" + SystemReason(ErrnoOf(error));
        return result;
    }
    if (!MoveIntoPlace(tempPath, *wide, existing)) {
        const DWORD error = ::GetLastError();
        ::DeleteFileW(tempPath.c_str());
        result.exists = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
        result.error = "无法保存为该文件名：" + SystemReason(ErrnoOf(error));
        return result;
    }
    result.ok = true;
    return result;
}

std::FILE* OpenFileForAppending(const char* fileName) {
    const std::optional<std::wstring> name = WideFromUtf8(fileName);
    if (!name || name->empty()) {
        errno = name ? ENOENT : EINVAL;
        return nullptr;
    }
    const DWORD attributes = ::GetFileAttributesW(name->c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        errno = EISDIR;
        return nullptr;
    }
    // Reading and appending, as the log has always been opened; a file that may be appended to
    // but not read is appended to all the same. OPEN_ALWAYS never truncates.
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    bool readable = true;
    HANDLE file = ::CreateFileW(name->c_str(), GENERIC_READ | FILE_APPEND_DATA, share, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
        readable = false;
        file = ::CreateFileW(name->c_str(), FILE_APPEND_DATA, share, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (file == INVALID_HANDLE_VALUE) {
        errno = ErrnoOf(::GetLastError());
        return nullptr;
    }
    const DWORD type = ::GetFileType(file);
    if (type != FILE_TYPE_DISK && type != FILE_TYPE_CHAR) {
        ::CloseHandle(file);
        errno = EINVAL;
        return nullptr;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file),
                                     _O_APPEND | _O_BINARY | (readable ? _O_RDWR : _O_WRONLY));
    if (fd < 0) {
        const int error = errno;
        ::CloseHandle(file);
        errno = error;
        return nullptr;
    }
    std::FILE* stream = ::_fdopen(fd, readable ? "a+b" : "ab");
    if (stream == nullptr) {
        const int error = errno;
        ::_close(fd);
        errno = error;
    }
    return stream;
}

std::optional<FileIdentity> IdentifyFile(const std::string& path, bool followLinks) {
    const std::optional<std::wstring> name = WideFromUtf8(path);
    if (!name || name->empty()) {
        return std::nullopt;
    }
    const Handle handle(::CreateFileW(
        name->c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!handle.valid() || !::GetFileInformationByHandle(handle.get(), &info)) {
        return std::nullopt;
    }
    return FileIdentity{
        info.dwVolumeSerialNumber,
        (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

std::string InstalledFilePath(const std::string& configured) {
    const std::optional<std::wstring> name = WideFromUtf8(configured);
    if (configured.empty() || !name || std::filesystem::path(*name).is_absolute()) {
        return configured;
    }
    std::wstring executable(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, executable.data(), static_cast<DWORD>(executable.size()));
        if (length == 0) {
            return configured;
        }
        if (length < executable.size()) {
            executable.resize(length);
            break;
        }
        executable.resize(executable.size() * 2);
    }
    const std::filesystem::path beside = std::filesystem::path(executable).parent_path() / *name;
    return Utf8FromWide(beside.wstring());
}

void RemovePendingTemporaries() noexcept {
    for (PendingTemporary& slot : g_pending) {
        if (slot.state.load() == 2) {
            ::DeleteFileW(slot.path);
        }
    }
}
