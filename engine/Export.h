#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

/// The 10 bytes appended to every saved photo: the tag "KORVELIN" with byte i raised by i + 5
/// (modulo 256), then two zero bytes.
std::array<std::uint8_t, 10> MakePhotoTrailer();

/// The bytes of a saved photo: `image` encoded as JPEG of quality 50, followed by the trailer.
/// Empty when the image cannot be encoded.
std::vector<std::uint8_t> EncodeApprovedPhoto(const cv::Mat& image);

/// Outcome of a save.
struct WriteResult {
    bool ok = false;
    std::string error;  ///< why it failed, in words the window can show (UTF-8)
};

/// Writes `bytes` to `path` (bytes of the file name, as the OS takes them) through a temporary
/// file in the target's folder that is then renamed over the target: an existing file is
/// replaced whole (keeping its permissions) or left untouched, and no other file is touched.
WriteResult WriteFileAtomically(const std::vector<std::uint8_t>& bytes, const std::string& path);

/// Writes EncodeApprovedPhoto(image) to `path` (bytes of the file name, as the OS takes them).
/// The bytes go to a temporary file in the target's folder, which is then renamed over the
/// target: an existing file is replaced whole or left untouched, never half-written.
WriteResult WriteApprovedPhoto(const cv::Mat& image, const std::string& path);
