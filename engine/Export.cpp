#include "engine/Export.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>

namespace {

constexpr char kPhotoTag[8] = {'K', 'O', 'R', 'V', 'E', 'L', 'I', 'N'};

std::string SystemReason(int error) { return std::strerror(error); }

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

// A fresh, not yet existing name beside `target`, created exclusively so that no other file is
// ever touched. The mode follows the umask like any new file's.
int CreateTemporaryBeside(const std::filesystem::path& target, std::string& tempPath) {
    static std::atomic<unsigned> counter{0};
    std::random_device entropy;
    const std::filesystem::path folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, ".vetrix-%ld-%u-%08x.tmp", static_cast<long>(getpid()),
                      counter.fetch_add(1), entropy());
        tempPath = (folder / suffix).string();
        const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

std::array<std::uint8_t, 10> MakePhotoTrailer() {
    std::array<std::uint8_t, 10> trailer{};
    for (int i = 0; i < 8; ++i) {
        trailer[i] = static_cast<std::uint8_t>(static_cast<std::uint8_t>(kPhotoTag[i]) + i + 5);
    }
    return trailer;
}

std::vector<std::uint8_t> EncodeApprovedPhoto(const cv::Mat& image) {
    std::vector<std::uint8_t> bytes;
    if (image.empty()) {
        return bytes;
    }
    try {
        // Always JPEG of quality 50, whatever name the file will have.
        if (!cv::imencode(".jpg", image, bytes, {cv::IMWRITE_JPEG_QUALITY, 50})) {
            return {};
        }
    } catch (const std::exception&) {
        return {};
    }
    const auto trailer = MakePhotoTrailer();
    bytes.insert(bytes.end(), trailer.begin(), trailer.end());
    return bytes;
}

WriteResult WriteApprovedPhoto(const cv::Mat& image, const std::string& path) {
    const std::vector<std::uint8_t> bytes = EncodeApprovedPhoto(image);
    if (bytes.empty()) {
        return WriteResult{false, "照片无法编码为 JPEG"};
    }
    return WriteFileAtomically(bytes, path);
}

WriteResult WriteFileAtomically(const std::vector<std::uint8_t>& bytes, const std::string& path) {
    WriteResult result;
    const std::filesystem::path target(path);
    if (path.empty() || !target.has_filename()) {
        result.error = "文件名无效";
        return result;
    }

    std::string tempPath;
    const int fd = CreateTemporaryBeside(target, tempPath);
    if (fd < 0) {
        result.error = "无法在目标文件夹中创建文件：" + SystemReason(errno);
        return result;
    }
    // A replaced file keeps its permissions.
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
        ::fchmod(fd, existing.st_mode & 07777);
    }
    const bool written = WriteAll(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
    const int writeError = errno;
    if (::close(fd) != 0 || !written) {
        const int error = written ? errno : writeError;
        ::unlink(tempPath.c_str());
        result.error = "写入文件失败：" + SystemReason(error);
        return result;
    }
    if (::rename(tempPath.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(tempPath.c_str());
        result.error = "无法保存为该文件名：" + SystemReason(error);
        return result;
    }
    result.ok = true;
    return result;
}
