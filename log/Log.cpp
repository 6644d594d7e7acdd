#include "log/Log.h"

#include <cstdarg>
#include <ctime>
#include <vector>

CLog theLog;

CLog::~CLog() { Close(); }

std::FILE* CLog::Open(const char* fileName) {
    std::lock_guard lock(m_cs);
    if (m_fp != nullptr || fileName == nullptr) {
        return nullptr;
    }
    m_szFileName = fileName;
    m_szMode = "w+";
    // "a+" creates the file when missing; "w" is the last resort for a file that exists but
    // refuses to be opened for appending.
    m_fp = std::fopen(m_szFileName.c_str(), "a+");
    if (m_fp == nullptr) {
        m_fp = std::fopen(m_szFileName.c_str(), "w");
    }
    return m_fp;
}

std::size_t CLog::Print(const char* format, ...) {
    // The time is read before the lock: two concurrent entries may land out of time order,
    // but never interleaved.
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);

    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::vector<char> text(length > 0 ? static_cast<std::size_t>(length) + 1 : 1, '\0');
    if (length > 0) {
        std::vsnprintf(text.data(), text.size(), format, args);
    }
    va_end(args);

    std::lock_guard lock(m_cs);
    if (m_fp == nullptr) {
        return 0;
    }
    std::fprintf(m_fp, "%04d-%02d-%02d %02d:%02d:%02d\t", local.tm_year + 1900, local.tm_mon + 1,
                 local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    std::size_t written = 0;
    if (length > 0) {
        written = std::fwrite(text.data(), 1, static_cast<std::size_t>(length), m_fp);
    }
    std::fflush(m_fp);
    return written;
}

void CLog::Close() {
    std::lock_guard lock(m_cs);
    if (m_fp != nullptr) {
        std::fclose(m_fp);
        m_fp = nullptr;
    }
}

bool CLog::IsOpen() const {
    std::lock_guard lock(m_cs);
    return m_fp != nullptr;
}
