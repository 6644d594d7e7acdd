#include "engine/Export.h"

#include <opencv2/imgcodecs.hpp>

namespace {

constexpr char kPhotoTag[8] = {'K', 'O', 'R', 'V', 'E', 'L', 'I', 'N'};

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
        // Always JPEG of the one quality, whatever name the file will have.
        if (!cv::imencode(".jpg", image, bytes, {cv::IMWRITE_JPEG_QUALITY, kSavedJpegQuality})) {
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

