#include "log/Log.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

CLog theLog;

namespace {

// Opens `fileName` with `flags` and keeps it only when it is a file a log can be appended to.
// O_NONBLOCK keeps the open of a FIFO from waiting for the other end; it is dropped again so
// that a terminal or other device is written normally.
int OpenLogFile(const char* fileName, int flags) {
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

CLog::~CLog() { Close(); }

std::FILE* CLog::Open(const char* fileName) {
    std::lock_guard lock(m_cs);
    if (m_fp != nullptr || fileName == nullptr) {
        return nullptr;
    }
    // Reading and appending, as the log has always been opened; a file that may be appended to
    // but not read (mode 200) is appended to all the same. Nothing here ever truncates.
    const char* mode = "a+";
    int fd = OpenLogFile(fileName, O_RDWR);
    if (fd < 0 && errno != EINVAL) {
        mode = "a";
        fd = OpenLogFile(fileName, O_WRONLY);
    }
    if (fd < 0) {
        return nullptr;
    }
    m_fp = ::fdopen(fd, mode);
    if (m_fp == nullptr) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return nullptr;
    }
    // Unbuffered: each entry goes out in the single write Print makes, and a failed write
    // leaves nothing behind in a buffer to come out later in the middle of another entry.
    std::setvbuf(m_fp, nullptr, _IONBF, 0);
    m_bFailed = false;
    return m_fp;
}

std::size_t CLog::Print(const char* format, ...) {
    // The time is read before the lock: two concurrent entries may land out of time order,
    // but never interleaved.
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[64];
    const int stampLength =
        std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d\t", local.tm_year + 1900,
                      local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);

    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    const std::size_t textLength = length > 0 ? static_cast<std::size_t>(length) : 0;
    const std::size_t stampBytes = static_cast<std::size_t>(stampLength);
    std::vector<char> entry(stampBytes + textLength + 1, '\0');
    std::copy(stamp, stamp + stampBytes, entry.begin());
    if (textLength > 0) {
        std::vsnprintf(entry.data() + stampBytes, textLength + 1, format, args);
    }
    va_end(args);

    std::lock_guard lock(m_cs);
    if (m_fp == nullptr) {
        return 0;
    }
    const std::size_t entryBytes = stampBytes + textLength;
    if (std::fwrite(entry.data(), 1, entryBytes, m_fp) != entryBytes || std::fflush(m_fp) != 0) {
        m_bFailed = true;
        std::clearerr(m_fp);
        return 0;
    }
    return textLength;
}

void CLog::Close() {
    std::lock_guard lock(m_cs);
    if (m_fp != nullptr) {
        if (std::fclose(m_fp) != 0) {
            m_bFailed = true;
        }
        m_fp = nullptr;
    }
}

bool CLog::IsOpen() const {
    std::lock_guard lock(m_cs);
    return m_fp != nullptr;
}

bool CLog::Failed() const {
    std::lock_guard lock(m_cs);
    return m_bFailed;
}
