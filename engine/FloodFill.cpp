#include "engine/FloodFill.h"

#include <opencv2/imgproc.hpp>

bool IsCheckableImage(const cv::Mat& image) {
    return image.type() == CV_8UC3 && image.rows >= kMinCheckedSide &&
           image.cols >= kMinCheckedSide;
}

cv::Scalar DrawFillColour(cv::RNG& rng) {
    const auto c0 = static_cast<uchar>(rng);
    const auto c1 = static_cast<uchar>(rng);
    const auto c2 = static_cast<uchar>(rng);
    return cv::Scalar(c0, c1, c2, 0);
}

int MarkFillRegion(const cv::Mat& image, cv::Point seed, int tolerance, cv::Mat& mask) {
    mask.create(image.rows + 2, image.cols + 2, CV_8UC1);
    mask.setTo(0);
    // 4-connected, mask value 255, every candidate compared with the seed pixel. With
    // FLOODFILL_MASK_ONLY the image is only read, so the const_cast never leads to a write.
    const int flags = 4 | (255 << 8) | cv::FLOODFILL_FIXED_RANGE | cv::FLOODFILL_MASK_ONLY;
    const cv::Scalar diff(tolerance, tolerance, tolerance, 0);
    cv::Rect bounds;
    return cv::floodFill(const_cast<cv::Mat&>(image), mask, seed, cv::Scalar(), &bounds, diff,
                         diff, flags);
}
