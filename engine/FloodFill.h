#pragma once

#include <opencv2/core.hpp>

// Flood-fill plumbing shared by the background probes and the head-top search.

/// The photo row that both look at first: the background samples and probe seeds, and the
/// head-top fill's seed, lie on it.
inline constexpr int kSeedRow = 5;

/// The smallest side, in pixels, of an image the checks read: the seed row, and the samples
/// kSeedRow columns in from either side, must lie inside it.
inline constexpr int kMinCheckedSide = kSeedRow + 1;

/// True for an 8-bit, 3-channel image of at least kMinCheckedSide rows and columns: the only
/// images the checks read pixels from.
bool IsCheckableImage(const cv::Mat& image);

/// Draws a fill colour from `rng`: three successive 8-bit draws, used in draw order as channels
/// 0, 1 and 2 (channel 3 is 0).
cv::Scalar DrawFillColour(cv::RNG& rng = cv::theRNG());

/// Marks in `mask` the region 4-connected to `seed` through pixels whose three channels each lie
/// within `tolerance` of the seed pixel's own value, and returns its pixel count. `mask` is
/// (re)allocated to (rows + 2) x (cols + 2), 8-bit, zeroed; a region pixel (x, y) is set to 255 at
/// mask (x + 1, y + 1). `image` (8-bit, 3 channels) is not changed. Marking a mask counts exactly
/// the pixels that filling a copy of the image would recolour, without copying the image.
int MarkFillRegion(const cv::Mat& image, cv::Point seed, int tolerance, cv::Mat& mask);
