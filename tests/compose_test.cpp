#include <algorithm>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cmath>

#include "present/Compose.h"

namespace {

cv::Mat Skin() {
    cv::Mat skin(600, 800, CV_8UC3);
    cv::randu(skin, 0, 256);
    return skin;
}

// Bilinear stretching written out: the destination pixel's centre mapped to the source, the
// nearest edge pixel beyond the border, and the four neighbours weighted by distance. OpenCV
// rounds its weights to fixed point, hence the tolerance of one level where this is compared.
cv::Mat Bilinear(const cv::Mat& src, cv::Size size) {
    cv::Mat dst(size, CV_8UC3);
    const double sx = static_cast<double>(src.cols) / size.width;
    const double sy = static_cast<double>(src.rows) / size.height;
    for (int y = 0; y < size.height; ++y) {
        const double fy = std::max(0.0, (y + 0.5) * sy - 0.5);
        const int y0 = std::min(static_cast<int>(fy), src.rows - 1);
        const int y1 = std::min(y0 + 1, src.rows - 1);
        const double wy = fy - static_cast<int>(fy);
        for (int x = 0; x < size.width; ++x) {
            const double fx = std::max(0.0, (x + 0.5) * sx - 0.5);
            const int x0 = std::min(static_cast<int>(fx), src.cols - 1);
            const int x1 = std::min(x0 + 1, src.cols - 1);
            const double wx = fx - static_cast<int>(fx);
            for (int c = 0; c < 3; ++c) {
                const auto at = [&](int row, int col) { return src.at<cv::Vec3b>(row, col)[c]; };
                const double top = at(y0, x0) * (1 - wx) + at(y0, x1) * wx;
                const double bottom = at(y1, x0) * (1 - wx) + at(y1, x1) * wx;
                dst.at<cv::Vec3b>(y, x)[c] =
                    cv::saturate_cast<uchar>(top * (1 - wy) + bottom * wy);
            }
        }
    }
    return dst;
}

TEST(ComposeResultPicture, StretchesThePhotoIntoTheFrameAndKeepsEveryOtherPixel) {
    const cv::Mat skin = Skin();
    const cv::Mat skinBefore = skin.clone();
    for (const cv::Size size : {cv::Size(215, 301), cv::Size(295, 413), cv::Size(250, 350)}) {
        cv::Mat photo(size, CV_8UC3);
        cv::randu(photo, 0, 256);
        const cv::Mat picture = ComposeResultPicture(skin, photo);
        ASSERT_EQ(picture.size(), skin.size());

        EXPECT_LE(cv::norm(picture(kResultPhotoFrame), Bilinear(photo, {177, 228}), cv::NORM_INF),
                  1)
            << size;

        cv::Mat outside = (picture != skin);
        cv::Mat diffMask;
        cv::cvtColor(outside, diffMask, cv::COLOR_BGR2GRAY);
        diffMask(kResultPhotoFrame).setTo(0);
        EXPECT_EQ(cv::countNonZero(diffMask), 0) << "pixels outside the frame changed, " << size;
        // The frame's first and last pixels are the stretched photo's first and last: the photo
        // reaches each edge of the frame, no further (the mask above shows no further).
        const cv::Mat stretched = Bilinear(photo, {177, 228});
        for (const auto& [frame, photoAt] : {std::pair{cv::Point(280, 83), cv::Point(0, 0)},
                                             std::pair{cv::Point(456, 310), cv::Point(176, 227)}}) {
            const cv::Vec3b got = picture.at<cv::Vec3b>(frame);
            const cv::Vec3b want = stretched.at<cv::Vec3b>(photoAt);
            for (int c = 0; c < 3; ++c) {
                EXPECT_LE(std::abs(got[c] - want[c]), 1) << frame << " " << size;
            }
        }
    }
    EXPECT_EQ(cv::norm(skin, skinBefore, cv::NORM_INF), 0) << "the skin itself was changed";
}

TEST(ComposeResultPicture, WithoutAPhotoTheSkinIsShownAsItIs) {
    const cv::Mat skin = Skin();
    EXPECT_EQ(cv::norm(ComposeResultPicture(skin, cv::Mat()), skin, cv::NORM_INF), 0);
    const cv::Mat grey(300, 215, CV_8UC1, cv::Scalar(9));
    EXPECT_EQ(cv::norm(ComposeResultPicture(skin, grey), skin, cv::NORM_INF), 0);
    const cv::Mat tiny(100, 100, CV_8UC3, cv::Scalar(1, 2, 3));
    EXPECT_EQ(ComposeResultPicture(tiny, cv::Mat(301, 215, CV_8UC3)).size(), tiny.size());
}

}  // namespace

namespace {

TEST(ResultPhotoFrame, IsTheFrameScaledWithEachEdgeRoundedToTheNearestPixel) {
    EXPECT_EQ(ResultPhotoFrame(1.0), cv::Rect(280, 83, 177, 228));
    EXPECT_EQ(ResultPhotoFrame(2.0), cv::Rect(560, 166, 354, 456));
    // 83 x 1.25 = 103.75, (280 + 177) x 1.25 = 571.25, (83 + 228) x 1.25 = 388.75.
    EXPECT_EQ(ResultPhotoFrame(1.25), cv::Rect(350, 104, 221, 285));
    // Halves round up: 124.5, 685.5 and 466.5 give 125, 686 and 467.
    EXPECT_EQ(ResultPhotoFrame(1.5), cv::Rect(420, 125, 266, 342));
}

TEST(ComposeResultPicture, AtScaleTwoFillsTheFrameOfTheLargerSkin) {
    cv::Mat skin(1200, 1600, CV_8UC3);
    cv::randu(skin, 0, 256);
    // A photo of the frame's own size goes in unscaled.
    cv::Mat photo(456, 354, CV_8UC3);
    cv::randu(photo, 0, 256);
    const cv::Mat picture = ComposeResultPicture(skin, photo, 2.0);
    ASSERT_EQ(picture.size(), skin.size());
    const cv::Rect frame(560, 166, 354, 456);
    EXPECT_EQ(cv::norm(picture(frame), photo, cv::NORM_INF), 0);
    cv::Mat outside = picture.clone();
    skin(frame).copyTo(outside(frame));
    EXPECT_EQ(cv::norm(outside, skin, cv::NORM_INF), 0) << "pixels outside the frame changed";

    // The 100 % skin has no room for the 200 % frame.
    const cv::Mat small = Skin();
    EXPECT_EQ(cv::norm(ComposeResultPicture(small, photo, 2.0), small, cv::NORM_INF), 0);
}

TEST(ComposeResultPicture, WithAScaleOutOfRangeTheSkinIsShownAsItIs) {
    const cv::Mat skin = Skin();
    const cv::Mat photo(301, 215, CV_8UC3, cv::Scalar(1, 2, 3));
    for (const double scale : {0.0, -1.0, 17.0, std::nan(""), HUGE_VAL}) {
        EXPECT_EQ(cv::norm(ComposeResultPicture(skin, photo, scale), skin, cv::NORM_INF), 0)
            << scale;
    }
}

}  // namespace
