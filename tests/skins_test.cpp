// Checks the window pictures in shell/res as committed: their sizes, and the regions the
// window relies on (the white button column, the result panel's photo frame).

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <array>
#include <string>
#include <vector>

namespace {

// In the order of the verdict codes, Idle = 0 ... BadSize = 6.
constexpr std::array<const char*, 7> kSkinFiles{
    "skin_idle.png",
    "skin_passed.png",
    "skin_bad_background.png",
    "skin_bad_format.png",
    "skin_no_single_portrait.png",
    "skin_bad_proportion.png",
    "skin_bad_size.png",
};
constexpr int kIdle = 0;
constexpr int kPassed = 1;

// Colours as OpenCV loads them: blue, green, red.
const cv::Vec3b kBorder(219, 136, 14);
const cv::Vec3b kInnerLine(239, 190, 112);
const cv::Vec3b kWhite(255, 255, 255);

const cv::Rect kResultPanel(275, 78, 187, 269);    // columns 275-461, rows 78-346
const cv::Rect kFrameInterior(281, 84, 176, 227);  // columns 281-456, rows 84-310
const cv::Rect kButtonColumn(470, 90, 320, 245);   // columns 470-789, rows 90-334

cv::Mat load(const std::string& name) {
    return cv::imread(std::string(VETRIX_SOURCE_DIR) + "/shell/res/" + name, cv::IMREAD_UNCHANGED);
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
        {"btn_open.png", 197, 48, 3}, {"btn_save.png", 197, 48, 3},
        {"btn_exit.png", 197, 48, 3}, {"btn_save_grey.png", 201, 52, 3},
        {"icon.png", 128, 128, 4},
    };
    for (const char* skin : kSkinFiles) expected.push_back({skin, 800, 600, 3});

    for (const Expected& e : expected) {
        SCOPED_TRACE(e.name);
        const cv::Mat image = load(e.name);
        ASSERT_FALSE(image.empty());
        EXPECT_EQ(image.cols, e.width);
        EXPECT_EQ(image.rows, e.height);
        EXPECT_EQ(image.channels(), e.channels);
        EXPECT_EQ(image.depth(), CV_8U);
    }
}

TEST(Skins, LeaveTheButtonColumnPlainWhite) {
    const std::vector<cv::Mat> skins = loadSkins();
    for (size_t i = 0; i < skins.size(); ++i) {
        SCOPED_TRACE(kSkinFiles[i]);
        ASSERT_EQ(skins[i].type(), CV_8UC3);
        EXPECT_EQ(countOff(skins[i], kButtonColumn, kWhite), 0);
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

TEST(Skins, PassedLeavesThePhotoFrameEmptyAndWhite) {
    const cv::Mat passed = load(kSkinFiles[kPassed]);
    ASSERT_EQ(passed.type(), CV_8UC3);
    EXPECT_EQ(countOff(passed, kFrameInterior, kWhite), 0);
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
    for (const char* name : {"btn_open.png", "btn_save.png", "btn_exit.png", "btn_save_grey.png"}) {
        SCOPED_TRACE(name);
        const cv::Mat button = load(name);
        ASSERT_EQ(button.type(), CV_8UC3);
        // The rounded corners show the button column's white.
        for (const cv::Point corner :
             {cv::Point(0, 0), cv::Point(button.cols - 1, 0), cv::Point(0, button.rows - 1),
              cv::Point(button.cols - 1, button.rows - 1)})
            EXPECT_EQ(button.at<cv::Vec3b>(corner), kWhite) << corner;
    }

    const cv::Mat grey = load("btn_save_grey.png");
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
    const cv::Mat icon = load("icon.png");
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
