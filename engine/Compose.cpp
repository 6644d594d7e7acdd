#include "engine/Compose.h"

#include <opencv2/imgproc.hpp>

cv::Mat ComposeResultPicture(const cv::Mat& skin, const cv::Mat& photo) {
    cv::Mat picture = skin.clone();
    const bool frameInside =
        (kResultPhotoFrame & cv::Rect(0, 0, skin.cols, skin.rows)) == kResultPhotoFrame;
    if (photo.empty() || !frameInside || photo.type() != skin.type()) {
        return picture;
    }
    // The photo is stretched to the frame whatever its aspect (normalised photos are 1.4 times
    // as high as wide, so they are squeezed slightly in height).
    cv::Mat scaled;
    cv::resize(photo, scaled, kResultPhotoFrame.size(), 0, 0, cv::INTER_LINEAR);
    scaled.copyTo(picture(kResultPhotoFrame));
    return picture;
}
