#pragma once

#include <opencv2/core.hpp>

struct AuditDetails;

/// Colours (blue, green, red) of the marks that AnnotatePhoto draws.
namespace marks {
inline const cv::Scalar kDetection{0, 255, 255};      ///< yellow: every detection
inline const cv::Scalar kChosenFace{0, 255, 0};       ///< green: the face that counts
inline const cv::Scalar kHeadTop{255, 255, 0};        ///< cyan: the head-top row
inline const cv::Scalar kCropCut{255, 0, 255};        ///< magenta: the crop that was cut
inline const cv::Scalar kCropTried{0, 128, 255};      ///< orange: the crop tried when none fitted
inline const cv::Scalar kSampleRed{0, 0, 255};        ///< a sample of class red
inline const cv::Scalar kSampleBlue{255, 0, 0};       ///< a sample of class blue
inline const cv::Scalar kSampleWhite{255, 255, 255};  ///< a sample of class white
inline const cv::Scalar kSampleNone{128, 128, 128};   ///< a sample of no accepted class
inline const cv::Scalar kOutline{0, 0, 0};            ///< ring around every sample
}  // namespace marks

/// A copy of `photo` (8-bit blue-green-red, as the audit decoded it) with what the audit found
/// drawn on it: every detection (thin) and the chosen face (thick); the three background samples
/// as discs in the colour of their class, ringed in black; the head-top row across the photo; the
/// crop that was cut or, when none fitted, the crop tried at the limit that stopped the search
/// (clipped to the photo); and the verdict's cause in a dark band along the bottom. Marks of a
/// rung that did not run are left out. Lines are 2 pixels thick, thicker on large photos; a
/// sample disc is filled to 5 pixels around its point. `photo` is never changed; an empty or
/// non-8-bit-3-channel photo gives an empty result.
cv::Mat AnnotatePhoto(const cv::Mat& photo, const AuditDetails& details);
