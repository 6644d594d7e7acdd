#pragma once

#include <opencv2/core.hpp>

/// The photo frame of the Passed picture: x 280, y 83, 177 x 228.
inline const cv::Rect kResultPhotoFrame{280, 83, 177, 228};

/// The Passed picture: a copy of `skin` (8-bit blue-green-red) with `photo` resized bilinearly to
/// exactly fill kResultPhotoFrame. Every pixel outside the frame is the skin's own. With an empty
/// photo, or a skin that does not contain the frame, the copy of the skin is returned unchanged.
cv::Mat ComposeResultPicture(const cv::Mat& skin, const cv::Mat& photo);
