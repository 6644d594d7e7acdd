#pragma once

#include <opencv2/core.hpp>

// Flood-fill plumbing shared by the background probes and the head-top search.

/// Draws a fill colour from the calling thread's cv::theRNG(): three successive 8-bit draws,
/// used in draw order as channels 0, 1 and 2 (channel 3 is 0).
cv::Scalar DrawFillColour();

/// Marks in `mask` the region 4-connected to `seed` through pixels whose three channels each lie
/// within `tolerance` of the seed pixel's own value, and returns its pixel count. `mask` is
/// (re)allocated to (rows + 2) x (cols + 2), 8-bit, zeroed; a region pixel (x, y) is set to 255 at
/// mask (x + 1, y + 1). `image` (8-bit, 3 channels) is not changed. Marking a mask counts exactly
/// the pixels that filling a copy of the image would recolour, without copying the image.
int MarkFillRegion(const cv::Mat& image, cv::Point seed, int tolerance, cv::Mat& mask);
