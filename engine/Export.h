#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "platform/Files.h"

/// The 10 bytes appended to every saved photo: the tag "KORVELIN" with byte i raised by i + 5
/// (modulo 256), then two zero bytes.
std::array<std::uint8_t, 10> MakePhotoTrailer();

/// The JPEG quality of every saved photo.
inline constexpr int kSavedJpegQuality = 50;

/// The bytes of a saved photo: `image` encoded as JPEG of quality kSavedJpegQuality, followed by
/// the trailer.
/// Empty when the image cannot be encoded.
std::vector<std::uint8_t> EncodeApprovedPhoto(const cv::Mat& image);

/// Writes EncodeApprovedPhoto(image) to `path` (bytes of the file name, as the OS takes them).
/// The bytes go to a temporary file in the target's folder, which is then renamed over the
/// target: an existing file is replaced whole or left untouched, never half-written.
WriteResult WriteApprovedPhoto(const cv::Mat& image, const std::string& path);
