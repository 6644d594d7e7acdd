// Checks the window pictures in shell/res as committed: their sizes at every scale, and the
// regions the window relies on (the white button column, the result panel's photo frame).

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <array>
#include <string>
#include <vector>

#include "present/WindowLayout.h"

namespace {

using layout::kSkinFiles;  // in the order of the verdict codes, Idle = 0 ... BadSize = 6
using layout::kButtonExitFile;
using layout::kButtonOpenFile;
using layout::kButtonSaveFile;
using layout::kButtonSaveGreyFile;
using layout::kIconFile;
constexpr std::array kButtonFiles{kButtonOpenFile, kButtonSaveFile, kButtonExitFile,
                                  kButtonSaveGreyFile};
constexpr int kIdle = 0;
constexpr int kPassed = 1;

// Colours as OpenCV loads them: blue, green, red.
const cv::Vec3b kBorder(219, 136, 14);
const cv::Vec3b kInnerLine(239, 190, 112);
const cv::Vec3b kWhite(255, 255, 255);

const cv::Rect kResultPanel(275, 78, 187, 269);    // columns 275-461, rows 78-346
// Inside the frame's light inner line: columns 281-456, rows 84-310.
const cv::Rect kFrameInterior(layout::kResultPhotoFrame.x + 1, layout::kResultPhotoFrame.y + 1,
                              layout::kResultPhotoFrame.width - 1,
                              layout::kResultPhotoFrame.height - 1);
const cv::Rect kButtonColumn(470, 90, 320, 245);   // columns 470-789, rows 90-334

// A rendering scaled back to 100 % and the 100 % picture, both blurred so that the glyphs'
// hinting at each scale weighs little: the largest mean difference of a channel, out of 255,
// allowed between them (measured: at most 1.7; unblurred up to 5.5, from the text).
constexpr double kBlurSigma = 2.0;
constexpr double kMeanDifferenceAllowed = 3.0;

cv::Mat load(const std::string& name, int percent = 100) {
    const std::string folder = percent == 100 ? "" : std::to_string(percent) + "/";
    return cv::imread(std::string(VETRIX_SOURCE_DIR) + "/shell/res/" + folder + name,
                      cv::IMREAD_UNCHANGED);
}

// `region` (in window units) in the pixels of a rendering at `percent`, less `inset` pixels on
// each side, where the scaled edges are blended with their neighbours.
cv::Rect atScale(const cv::Rect& region, int percent, int inset = 0) {
    const layout::Box box =
        layout::ToDevicePixels({region.x, region.y, region.width, region.height}, percent / 100.0);
    return {box.x + inset, box.y + inset, box.width - 2 * inset, box.height - 2 * inset};
}

std::vector<cv::Mat> loadSkins() {
    std::vector<cv::Mat> skins;
    for (const char* name : kSkinFiles) skins.push_back(load(name));
    return skins;
}

// Columns x0-x1, rows y0-y1, both ends included.
cv::Rect span(int x0, int y0, int x1, int y1) {
    return {x0, y0, x1 - x0 + 1, y1 - y0 + 1};
}

// How many pixels of the region are not exactly the colour.
int countOff(const cv::Mat& image, const cv::Rect& region, const cv::Vec3b& colour) {
    cv::Mat match;
    cv::inRange(image(region), colour, colour, match);
    return region.area() - cv::countNonZero(match);
}

cv::Mat channelOf(const cv::Mat& image, int channel) {
    cv::Mat plane;
    cv::extractChannel(image, plane, channel);
    return plane;
}

// How many channel values differ between two images of one size and type.
int countDifferingValues(const cv::Mat& a, const cv::Mat& b) {
    cv::Mat diff;
    cv::absdiff(a, b, diff);
    return cv::countNonZero(diff.reshape(1));
}

TEST(PictureFiles, HaveTheirSizesAndChannels) {
    struct Expected {
        const char* name;
        int width, height, channels;
    };
    std::vector<Expected> expected{
        {kButtonOpenFile, 197, 48, 3}, {kButtonSaveFile, 197, 48, 3},
        {kButtonExitFile, 197, 48, 3}, {kButtonSaveGreyFile, 201, 52, 3},
        {kIconFile, 128, 128, 4},
    };
    for (const char* skin : kSkinFiles) expected.push_back({skin, 800, 600, 3});

    // Sizes at each scale, worked out by hand: 197 x 1.25 = 246.25 and 201 x 1.25 = 251.25
    // round down, 197 x 1.5 = 295.5 and 201 x 1.5 = 301.5 round up.
    const std::vector<std::pair<int, std::array<cv::Size, 4>>> scaled{
        {125, {cv::Size(1000, 750), cv::Size(246, 60), cv::Size(251, 65), cv::Size(160, 160)}},
        {150, {cv::Size(1200, 900), cv::Size(296, 72), cv::Size(302, 78), cv::Size(192, 192)}},
        {200, {cv::Size(1600, 1200), cv::Size(394, 96), cv::Size(402, 104), cv::Size(256, 256)}},
    };
    ASSERT_EQ(scaled.size() + 1, layout::kPictureScalesPercent.size());

    for (const Expected& e : expected) {
        SCOPED_TRACE(e.name);
        const cv::Mat image = load(e.name);
        ASSERT_FALSE(image.empty());
        EXPECT_EQ(image.cols, e.width);
        EXPECT_EQ(image.rows, e.height);
        EXPECT_EQ(image.channels(), e.channels);
        EXPECT_EQ(image.depth(), CV_8U);
        for (const auto& [percent, sizes] : scaled) {
            const std::string name(e.name);
            const cv::Size size = e.width == 800                ? sizes[0]
                                  : name == kButtonSaveGreyFile ? sizes[2]
                                  : name == kIconFile           ? sizes[3]
                                                                : sizes[1];
            const cv::Mat rendering = load(e.name, percent);
            ASSERT_FALSE(rendering.empty()) << "at " << percent << " %";
            EXPECT_EQ(rendering.size(), size) << "at " << percent << " %";
            EXPECT_EQ(rendering.type(), image.type()) << "at " << percent << " %";
        }
    }
}

TEST(PictureFiles, ShowTheSamePictureAtEveryScale) {
    // Scaled back to 100 %, each rendering is the 100 % picture with the antialiased edges
    // and the glyphs a little different: a picture drawn at the wrong size or place differs by
    // far more.
    std::vector<std::string> names(kSkinFiles.begin(), kSkinFiles.end());
    names.insert(names.end(), kButtonFiles.begin(), kButtonFiles.end());
    names.emplace_back(kIconFile);
    for (const std::string& name : names) {
        const cv::Mat reference = load(name);
        ASSERT_FALSE(reference.empty()) << name;
        for (const int percent : layout::kPictureScalesPercent) {
            if (percent == 100) continue;
            SCOPED_TRACE(name + " at " + std::to_string(percent) + " %");
            const cv::Mat rendering = load(name, percent);
            ASSERT_FALSE(rendering.empty());
            cv::Mat back;
            cv::resize(rendering, back, reference.size(), 0, 0, cv::INTER_AREA);
            cv::Mat diff;
            cv::GaussianBlur(back, back, cv::Size(), kBlurSigma);
            cv::Mat blurredReference;
            cv::GaussianBlur(reference, blurredReference, cv::Size(), kBlurSigma);
            cv::absdiff(back, blurredReference, diff);
            const cv::Scalar mean = cv::mean(diff);
            EXPECT_LT(std::max({mean[0], mean[1], mean[2]}), kMeanDifferenceAllowed);
        }
    }
}

TEST(Skins, LeaveTheButtonColumnPlainWhiteAtEveryScale) {
    for (const int percent : layout::kPictureScalesPercent) {
        for (const char* name : kSkinFiles) {
            SCOPED_TRACE(std::string(name) + " at " + std::to_string(percent) + " %");
            const cv::Mat skin = load(name, percent);
            ASSERT_EQ(skin.type(), CV_8UC3);
            EXPECT_EQ(countOff(skin, atScale(kButtonColumn, percent, percent == 100 ? 0 : 1),
                               kWhite),
                      0);
        }
    }
}

TEST(Skins, FrameBothPanelsInBlueWithALightInnerLine) {
    const std::vector<cv::Mat> skins = loadSkins();
    // Left edges of the sample panel and the result panel; both span rows 78-346.
    for (const int x : {65, 275}) {
        for (size_t i = 0; i < skins.size(); ++i) {
            SCOPED_TRACE(std::string(kSkinFiles[i]) + " panel at x " + std::to_string(x));
            const cv::Mat& skin = skins[i];
            ASSERT_EQ(skin.type(), CV_8UC3);
            EXPECT_EQ(countOff(skin, span(x, 78, x + 186, 82), kBorder), 0) << "top border";
            EXPECT_EQ(countOff(skin, span(x, 78, x + 4, 311), kBorder), 0) << "left border";
            EXPECT_EQ(countOff(skin, span(x + 183, 78, x + 186, 311), kBorder), 0)
                << "right border";
            // The right and bottom inner lines stay visible next to a photo drawn in the frame.
            EXPECT_EQ(countOff(skin, span(x + 182, 83, x + 182, 311), kInnerLine), 0)
                << "right line";
            EXPECT_EQ(countOff(skin, span(x + 5, 311, x + 182, 311), kInnerLine), 0)
                << "bottom line";
            EXPECT_EQ(countOff(skin, span(x + 5, 83, x + 5, 311), kInnerLine), 0) << "left line";
            EXPECT_EQ(countOff(skin, span(x + 5, 83, x + 182, 83), kInnerLine), 0) << "top line";
        }
    }
}

TEST(Skins, HaveTheBlueBannerSideLinesAndFooter) {
    const std::vector<cv::Mat> skins = loadSkins();
    for (size_t i = 0; i < skins.size(); ++i) {
        SCOPED_TRACE(kSkinFiles[i]);
        const cv::Mat& skin = skins[i];
        ASSERT_EQ(skin.type(), CV_8UC3);
        EXPECT_EQ(countOff(skin, span(1, 67, 3, 564), kBorder), 0) << "left side line";
        EXPECT_EQ(countOff(skin, span(796, 67, 798, 564), kBorder), 0) << "right side line";
        // Banner (right of the logo) and footer are blue, with white text at most.
        for (const cv::Rect& bar : {span(80, 0, 799, 66), span(0, 565, 799, 598)}) {
            cv::Mat notBlue;
            cv::compare(channelOf(skin(bar), 2), channelOf(skin(bar), 0), notBlue, cv::CMP_GT);
            EXPECT_EQ(cv::countNonZero(notBlue), 0) << "red above blue in " << bar;
        }
    }
}

TEST(Skins, ShowTheirMessageInsideTheFrame) {
    const std::vector<cv::Mat> skins = loadSkins();
    for (size_t i = 0; i < skins.size(); ++i) {
        SCOPED_TRACE(kSkinFiles[i]);
        ASSERT_EQ(skins[i].type(), CV_8UC3);
        const cv::Mat frame = skins[i](kFrameInterior);
        cv::Mat black, red;
        cv::inRange(frame, cv::Scalar(0, 0, 0), cv::Scalar(70, 70, 70), black);
        cv::inRange(frame, cv::Scalar(0, 0, 170), cv::Scalar(80, 80, 255), red);
        if (static_cast<int>(i) == kIdle) {
            EXPECT_GT(cv::countNonZero(black), 1000) << "the prompt in large black type";
            EXPECT_EQ(cv::countNonZero(red), 0);
        } else if (static_cast<int>(i) == kPassed) {
            EXPECT_EQ(cv::countNonZero(black) + cv::countNonZero(red), 0);
        } else {
            EXPECT_GT(cv::countNonZero(red), 1000) << "a reason in red";
            EXPECT_GT(cv::countNonZero(black), 50) << "the reason label";
        }
    }
}

TEST(Skins, PassedLeavesThePhotoFrameEmptyAndWhiteAtEveryScale) {
    for (const int percent : layout::kPictureScalesPercent) {
        SCOPED_TRACE(std::to_string(percent) + " %");
        const cv::Mat passed = load(kSkinFiles[kPassed], percent);
        ASSERT_EQ(passed.type(), CV_8UC3);
        EXPECT_EQ(countOff(passed, atScale(kFrameInterior, percent, percent == 100 ? 0 : 1),
                           kWhite),
                  0);
    }
}

TEST(Skins, DifferOnlyInsideTheResultPanel) {
    const std::vector<cv::Mat> skins = loadSkins();
    for (const cv::Mat& skin : skins) ASSERT_EQ(skin.size(), cv::Size(800, 600));

    // Every verdict has a picture of its own ...
    for (size_t a = 0; a < skins.size(); ++a) {
        for (size_t b = a + 1; b < skins.size(); ++b) {
            SCOPED_TRACE(std::string(kSkinFiles[a]) + " vs " + kSkinFiles[b]);
            EXPECT_GT(countDifferingValues(skins[a](kResultPanel), skins[b](kResultPanel)), 0);
        }
    }
    // ... and apart from the result panel they all share one layout.
    cv::Mat reference = skins[0].clone();
    reference(kResultPanel).setTo(cv::Scalar::all(0));
    for (size_t i = 1; i < skins.size(); ++i) {
        SCOPED_TRACE(kSkinFiles[i]);
        cv::Mat masked = skins[i].clone();
        masked(kResultPanel).setTo(cv::Scalar::all(0));
        EXPECT_EQ(countDifferingValues(reference, masked), 0);
    }
}

TEST(Buttons, SitOnWhiteAndTheDisabledOneIsGrey) {
    for (const char* name : kButtonFiles) {
        SCOPED_TRACE(name);
        const cv::Mat button = load(name);
        ASSERT_EQ(button.type(), CV_8UC3);
        // The rounded corners show the button column's white.
        for (const cv::Point corner :
             {cv::Point(0, 0), cv::Point(button.cols - 1, 0), cv::Point(0, button.rows - 1),
              cv::Point(button.cols - 1, button.rows - 1)})
            EXPECT_EQ(button.at<cv::Vec3b>(corner), kWhite) << corner;
    }

    const cv::Mat grey = load(kButtonSaveGreyFile);
    ASSERT_EQ(grey.type(), CV_8UC3);
    cv::Mat channels[3];
    cv::split(grey, channels);
    EXPECT_EQ(cv::countNonZero(channels[0] != channels[1]), 0);
    EXPECT_EQ(cv::countNonZero(channels[1] != channels[2]), 0);
    // Greyed out, not blank: the bar and its label still show.
    double darkest = 0;
    cv::minMaxLoc(channels[0], &darkest);
    EXPECT_LT(darkest, 200);
}

TEST(Icon, IsARoundBadgeOnATransparentSquare) {
    const cv::Mat icon = load(kIconFile);
    ASSERT_EQ(icon.type(), CV_8UC4);
    const auto alpha = [&](int x, int y) { return icon.at<cv::Vec4b>(y, x)[3]; };
    EXPECT_EQ(alpha(0, 0), 0);
    EXPECT_EQ(alpha(127, 0), 0);
    EXPECT_EQ(alpha(0, 127), 0);
    EXPECT_EQ(alpha(127, 127), 0);
    EXPECT_EQ(alpha(64, 64), 255);
    EXPECT_EQ(alpha(64, 4), 255);  // the rim reaches close to the edge
}

}  // namespace
