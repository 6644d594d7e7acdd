#pragma once

#include <cstdio>
#include <mutex>
#include <string>

/// The run log: a text file to which start-up and every verdict append one timestamped entry.
/// Each entry is the local time as "YYYY-MM-DD hh:mm:ss", a tab, then the caller's text (which
/// brings its own line end), written with one write and flushed before Print returns. Print may
/// be called from any thread.
class CLog {
public:
    CLog() = default;
    ~CLog();
    CLog(const CLog&) = delete;
    CLog& operator=(const CLog&) = delete;

    /// Opens `fileName` for appending, creating it if needed (mode 0666 less the umask). An
    /// existing file is never truncated: when it cannot be opened for reading and appending, it
    /// is opened for appending alone. Only a regular file or a character device (such as
    /// /dev/null) is taken; a FIFO, socket, directory or block device is refused without
    /// waiting for a reader. Returns the stream, or nullptr when the log is already open (the
    /// open file stays in use) or the file cannot be opened; errno then tells why (EINVAL for a
    /// file of a refused kind).
    std::FILE* Open(const char* fileName = "Test.log");

    /// Writes one entry: the timestamp, then `format` formatted printf-style (UTF-8), whole
    /// whatever its length. Returns the number of bytes of caller text written, 0 when the log
    /// is not open or the write failed (see Failed).
    std::size_t Print(const char* format, ...) __attribute__((format(printf, 2, 3)));

    /// Closes the file; later entries are dropped until the next Open. A failure to close (the
    /// last data not reaching the disk) counts as a failed write.
    void Close();

    bool IsOpen() const;

    /// True once any entry since the last Open could not be written whole (a full disk, an I/O
    /// error): the log is then missing entries or holds a cut one. Stays true until the next
    /// Open.
    bool Failed() const;

private:
    std::FILE* m_fp = nullptr;
    bool m_bFailed = false;
    mutable std::mutex m_cs;
};

/// The process's run log. The window opens it at start-up and closes it when it ends.
extern CLog theLog;
