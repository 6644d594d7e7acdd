#pragma once

#include <cstdint>

#include <opencv2/core.hpp>

/// The share of the picture that the background probes' fills must cover on average, exceeded.
inline constexpr double kMinCoverage = 0.2;

/// Hue (degrees, [0, 360); -1 for black; NaN for a grey), saturation and value ([0, 1]).
struct Hsv {
    double hue;
    double saturation;
    double value;
};

/// Converts one 8-bit colour to hue, saturation and value. A tie for the largest channel
/// takes red before green before blue; a grey other than black has an undefined (NaN) hue.
Hsv RgbToHsv(std::uint8_t red, std::uint8_t green, std::uint8_t blue);

/// The number of pixels that a flood fill from `seed` (4-connected, fixed range of 30 in each
/// colour channel) fills, seed included. Draws three values from the calling
/// thread's cv::theRNG() first. `image` is never changed. Returns 0 for a seed outside the image
/// or an image that is not 8-bit 3-channel.
std::uint64_t FloodFillArea(const cv::Mat& image, cv::Point seed);

/// True when the background along the top of `image` (row 5 at columns 5, cols/2 and cols-5)
/// is plain red, blue or white and the regions connected to those three points cover on average
/// more than a fifth of the picture. False for anything else, including images that are not
/// 8-bit 3-channel or have fewer than 6 rows or 6 columns. `image` is never changed.
bool CheckBackground(const cv::Mat& image);
