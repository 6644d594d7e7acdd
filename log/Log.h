#pragma once

#include <cstdio>
#include <mutex>
#include <string>

/// The run log: a text file to which start-up and every verdict append one timestamped entry.
/// Each entry is the local time as "YYYY-MM-DD hh:mm:ss", a tab, then the caller's text (which
/// brings its own line end), flushed before Print returns. Print may be called from any thread.
class CLog {
public:
    CLog() = default;
    virtual ~CLog();
    CLog(const CLog&) = delete;
    CLog& operator=(const CLog&) = delete;

    /// Opens `fileName` for appending, creating it if needed. Returns the stream, or nullptr
    /// when the log is already open (the open file stays in use) or the file cannot be opened.
    std::FILE* Open(const char* fileName = "Test.log");

    /// Writes one entry: the timestamp, then `format` formatted printf-style (UTF-8), whole
    /// whatever its length. Returns the number of bytes of caller text written, 0 when the log
    /// is not open.
    std::size_t Print(const char* format, ...) __attribute__((format(printf, 2, 3)));

    /// Closes the file; later entries are dropped until the next Open.
    void Close();

    bool IsOpen() const;

private:
    std::FILE* m_fp = nullptr;
    std::string m_szFileName;
    std::string m_szMode;
    mutable std::mutex m_cs;
};

/// The process's run log.
extern CLog theLog;
