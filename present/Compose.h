#pragma once

#include <opencv2/core.hpp>

#include "present/WindowLayout.h"

/// The photo frame of the Passed picture at scale 1 (layout::kResultPhotoFrame).
inline const cv::Rect kResultPhotoFrame{layout::kResultPhotoFrame.x, layout::kResultPhotoFrame.y,
                                        layout::kResultPhotoFrame.width,
                                        layout::kResultPhotoFrame.height};

/// The photo frame in the device pixels of a Passed picture drawn at `scale` (each edge rounded
/// to the nearest pixel): 280, 83, 177 x 228 at scale 1; 560, 166, 354 x 456 at scale 2.
cv::Rect ResultPhotoFrame(double scale);

/// The Passed picture: a copy of `skin` (8-bit blue-green-red, drawn at `scale`) with `photo`
/// resized bilinearly to exactly fill ResultPhotoFrame(scale). Every pixel outside the frame is
/// the skin's own. With an empty photo, a scale outside 0 to 16 (0 excluded), or a skin that
/// does not contain the frame, the copy of the skin is returned unchanged.
cv::Mat ComposeResultPicture(const cv::Mat& skin, const cv::Mat& photo, double scale = 1.0);
