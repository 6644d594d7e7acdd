#pragma once

#include <QImage>

#include <opencv2/core.hpp>

/// The one crossing between OpenCV's matrices and Qt's images.
///
/// MatToQImage takes an 8-bit matrix of 3 channels in blue-green-red order (as the engine holds
/// photos) or of 1 grey channel, and returns an image that owns a copy of the pixels: the matrix
/// may be changed or released right after the call. Any other matrix, and an empty one, gives a
/// null image.
QImage MatToQImage(const cv::Mat& mat);

/// The reverse: any image as an 8-bit blue-green-red matrix with pixels of its own (alpha is
/// dropped). A null image gives an empty matrix.
cv::Mat QImageToMat(const QImage& image);
