#include "present/Compose.h"

#include <opencv2/imgproc.hpp>

cv::Rect ResultPhotoFrame(double scale) {
    const layout::Box frame = layout::ToDevicePixels(layout::kResultPhotoFrame, scale);
    return {frame.x, frame.y, frame.width, frame.height};
}

cv::Mat ComposeResultPicture(const cv::Mat& skin, const cv::Mat& photo, double scale) {
    cv::Mat picture = skin.clone();
    // Written so that NaN fails too; the upper bound keeps the frame's pixels within int.
    if (!(scale > 0.0 && scale <= 16.0)) {
        return picture;
    }
    const cv::Rect frame = ResultPhotoFrame(scale);
    const bool frameInside = (frame & cv::Rect(0, 0, skin.cols, skin.rows)) == frame;
    if (photo.empty() || !frameInside || photo.type() != skin.type()) {
        return picture;
    }
    // The photo is stretched to the frame whatever its aspect (normalised photos are 1.4 times
    // as high as wide, so they are squeezed slightly in height).
    cv::Mat scaled;
    cv::resize(photo, scaled, frame.size(), 0, 0, cv::INTER_LINEAR);
    scaled.copyTo(picture(frame));
    return picture;
}
