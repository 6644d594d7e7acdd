#include "log/Log.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <ctime>
#include <vector>

#include "platform/Files.h"
#include "platform/System.h"

CLog theLog;

CLog::~CLog() { Close(); }

std::FILE* CLog::Open(const char* fileName) {
    std::lock_guard lock(m_cs);
    if (m_fp != nullptr || fileName == nullptr) {
        return nullptr;
    }
    m_fp = OpenFileForAppending(fileName);
    if (m_fp == nullptr) {
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
    const std::tm local = LocalTime(now);
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
