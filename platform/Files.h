#pragma once

// What differs between systems about files, in one place: reading a whole file, and writing one
// so that it appears whole or not at all. Names are UTF-8 on every system: on Linux these are
// the bytes the system takes, on Windows they are turned into the system's UTF-16 names, so that
// any name opens whatever the code page.

#include <compare>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

/// `utf8` as a path: the same bytes on Linux, the UTF-16 name on Windows (where a narrow path
/// would be taken in the code page).
inline std::filesystem::path PathFromUtf8(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

/// `path` in UTF-8; on Linux its bytes as they are.
inline std::string Utf8FromPath(const std::filesystem::path& path) {
    const std::u8string utf8 = path.u8string();
    return std::string(utf8.begin(), utf8.end());
}

/// A file read whole, or why it could not be.
struct FileBytes {
    std::vector<std::uint8_t> bytes;
    /// Set when nothing was read: the system's reason (no such file, permission denied, is a
    /// directory, ...), or std::errc::file_too_large for a file over the limit given.
    std::error_code error;
    /// The file's length, when it could be learned (also for a file refused as too large).
    std::uint64_t length = 0;
};

/// Reads the regular file at `path` whole. A name that is not a regular file (a folder, FIFO,
/// device or socket) is refused without waiting for a writer, with std::errc::is_a_directory for
/// a folder and std::errc::invalid_argument for the others; a file longer than `maxBytes` is
/// refused before anything is read. A file that changes length while it is read yields the
/// bytes read up to its end. With `followLinks` false, a symbolic link is refused
/// (std::errc::too_many_symbolic_link_levels) rather than followed. Never throws but
/// std::bad_alloc.
FileBytes ReadFileBytes(const std::string& path, std::uint64_t maxBytes, bool followLinks = true);

/// Reads the open descriptor `fd` (standard input, a pipe) to its end, as ReadFileBytes reads a
/// file: more than `maxBytes` is refused with std::errc::file_too_large, and nothing is kept.
FileBytes ReadDescriptorBytes(int fd, std::uint64_t maxBytes);

/// Outcome of a save.
struct WriteResult {
    bool ok = false;
    std::string error;    ///< why it failed, in words the window can show (UTF-8)
    bool exists = false;  ///< failed only because the target exists and was not to be replaced
};

/// Whether a save may take the place of whatever already has the target's name.
enum class ExistingTarget { Replace, Keep };

/// Writes `bytes` to `path` through a temporary file in the target's folder that is then renamed
/// to the target, so that the target is written whole or not at all and no other file is
/// touched. A new file gets mode 0666 less the umask. An existing regular file is replaced and
/// keeps its permission bits, never its set-user or set-group ID bit; an existing symbolic link
/// is replaced by a plain file as new (never followed). With ExistingTarget::Keep an existing
/// name of any kind is left alone instead and the result says `exists`; this holds even against
/// a file created at the same moment.
WriteResult WriteFileAtomically(const std::vector<std::uint8_t>& bytes, const std::string& path,
                                ExistingTarget existing = ExistingTarget::Replace);

/// Opens `fileName` for appending, in binary (no line end is translated), creating it if needed
/// (on Linux with mode 0666 less the umask). An existing file is never truncated: when it cannot
/// be opened for reading and appending, it is opened for appending alone. Only a regular file or
/// a character device (/dev/null, NUL) is taken; a FIFO, pipe, socket or block device is refused
/// without waiting for the other end (errno EINVAL), a folder with EISDIR. Returns the stream,
/// or nullptr with errno set.
std::FILE* OpenFileForAppending(const char* fileName);

/// What tells one file from another on this system (device and inode on Linux, volume serial
/// number and file index on Windows), whichever names lead to it.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t file = 0;
    auto operator<=>(const FileIdentity&) const = default;
};

/// The identity of the file at `path`, or of the link itself when `followLinks` is false;
/// nullopt when it cannot be learned (no such file, no permission).
std::optional<FileIdentity> IdentifyFile(const std::string& path, bool followLinks);

/// The path of a file installed with the program: `configured` itself when it is absolute;
/// a relative one is taken in the folder of the running executable (Windows, where the program
/// and its data files travel together). Empty stays empty.
std::string InstalledFilePath(const std::string& configured);

/// Removes the temporary files of the saves under way in this process. Safe to call from a
/// signal handler that is about to end the process.
void RemovePendingTemporaries() noexcept;
