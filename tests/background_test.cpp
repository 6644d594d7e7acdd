#include <algorithm>
#include <cmath>
#include <utility>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "engine/Background.h"
#include "engine/Framing.h"

namespace {

cv::Mat Uniform(cv::Vec3b bgr, int cols = 215, int rows = 300) {
    return cv::Mat(rows, cols, CV_8UC3, cv::Scalar(bgr[0], bgr[1], bgr[2]));
}

struct UniformCase {
    const char* what;
    cv::Vec3b bgr;
    bool passes;
};

void PrintTo(const UniformCase& c, std::ostream* os) { *os << c.what; }

class UniformBackground : public testing::TestWithParam<UniformCase> {};

TEST_P(UniformBackground, Verdict) {
    const UniformCase& c = GetParam();
    EXPECT_EQ(CheckBackground(Uniform(c.bgr)), c.passes) << c.what;
}

// Colours in blue-green-red order.
INSTANTIATE_TEST_SUITE_P(
    Colours, UniformBackground,
    testing::Values(UniformCase{"pure white", {255, 255, 255}, true},
                    UniformCase{"grey 230 is white", {230, 230, 230}, true},
                    UniformCase{"grey 229 is neither white nor coloured", {229, 229, 229}, false},
                    UniformCase{"grey 128", {128, 128, 128}, false},
                    UniformCase{"brightest channel 33 is too dark", {33, 0, 0}, false},
                    UniformCase{"brightest channel 34 goes on to the hue", {34, 0, 0}, true},
                    UniformCase{"black", {0, 0, 0}, false},
                    UniformCase{"pure red", {0, 0, 255}, true},
                    UniformCase{"pure blue", {255, 0, 0}, true},
                    UniformCase{"pure green", {0, 255, 0}, false},
                    UniformCase{"hue exactly 30", {0, 100, 200}, false},
                    UniformCase{"hue exactly 330", {100, 0, 200}, true},
                    UniformCase{"hue exactly 180", {200, 200, 0}, true},
                    UniformCase{"hue exactly 260", {255, 0, 85}, true},
                    UniformCase{"hue above 260", {255, 0, 90}, false},
                    UniformCase{"warm white", {222, 230, 255}, true},
                    UniformCase{"near-grey, one level more blue", {101, 100, 100}, true},
                    UniformCase{"near-grey, one level more red", {100, 100, 101}, true},
                    UniformCase{"near-grey, one level more green", {100, 101, 100}, false}));

TEST(RgbToHsv, Values) {
    const Hsv red = RgbToHsv(255, 0, 0);
    EXPECT_DOUBLE_EQ(red.hue, 0);
    EXPECT_DOUBLE_EQ(red.saturation, 1);
    EXPECT_DOUBLE_EQ(red.value, 1);
    EXPECT_DOUBLE_EQ(RgbToHsv(0, 0, 255).hue, 240);
    EXPECT_DOUBLE_EQ(RgbToHsv(200, 100, 0).hue, 30);
    EXPECT_DOUBLE_EQ(RgbToHsv(200, 0, 100).hue, 330);
    // A tie for the largest value takes red before green before blue.
    EXPECT_DOUBLE_EQ(RgbToHsv(200, 200, 0).hue, 60);
    EXPECT_DOUBLE_EQ(RgbToHsv(0, 200, 200).hue, 180);

    const Hsv black = RgbToHsv(0, 0, 0);
    EXPECT_EQ(black.hue, -1);
    EXPECT_EQ(black.saturation, 0);
    EXPECT_EQ(black.value, 0);

    const Hsv grey = RgbToHsv(128, 128, 128);
    EXPECT_TRUE(std::isnan(grey.hue));
    EXPECT_EQ(grey.saturation, 0);
    EXPECT_DOUBLE_EQ(grey.value, 128.0 / 255);
}

TEST(CheckBackground, SamplesAreAveragedBeforeTheColourTest) {
    // Red, red and green at the three sample points average to (0, 85, 170): hue 30, rejected.
    cv::Mat image = Uniform({0, 0, 255});
    image.at<cv::Vec3b>(5, 210) = {0, 255, 0};
    EXPECT_FALSE(CheckBackground(image));
    // Green anywhere else on row 5 is not sampled.
    cv::Mat other = Uniform({0, 0, 255});
    other.at<cv::Vec3b>(5, 209) = {0, 255, 0};
    other.at<cv::Vec3b>(5, 211) = {0, 255, 0};
    other.at<cv::Vec3b>(4, 210) = {0, 255, 0};
    EXPECT_TRUE(CheckBackground(other));
}

TEST(CheckBackground, SamplePointsOfA215WideImage) {
    // Only columns 5, 107 and 210 of row 5 are sampled: black there rejects a white image.
    for (const int x : {5, 107, 210}) {
        cv::Mat image = Uniform({255, 255, 255});
        image.at<cv::Vec3b>(5, x) = {0, 0, 0};
        // One black sample drags the mean to 170: no longer white, a grey with no hue.
        EXPECT_FALSE(CheckBackground(image)) << "column " << x;
    }
}

TEST(CheckBackground, CoverageMustExceedAFifth) {
    // A red band on top of a busy green picture: the regions under the three points are the
    // band only.
    const int cols = 300, rows = 400;
    auto banded = [&](int bandRows) {
        cv::Mat image(rows, cols, CV_8UC3);
        for (int y = 0; y < rows; ++y) {
            for (int x = 0; x < cols; ++x) {
                image.at<cv::Vec3b>(y, x) = ((x / 3 + y / 3) % 2) ? cv::Vec3b(0, 200, 0)
                                                                  : cv::Vec3b(200, 0, 200);
            }
        }
        image(cv::Rect(0, 0, cols, bandRows)).setTo(cv::Scalar(0, 0, 255));
        return image;
    };
    EXPECT_FALSE(CheckBackground(banded(40)));   // 10 %
    EXPECT_FALSE(CheckBackground(banded(80)));   // exactly 20 %: not more than a fifth
    EXPECT_TRUE(CheckBackground(banded(81)));    // just over
    EXPECT_TRUE(CheckBackground(banded(200)));
}

TEST(CheckBackground, OneLargeRegionAloneDecidesOnlyAboveThreeFifths) {
    // Red everywhere; the points at columns 150 and 295 are single pixels walled in by green,
    // and a green block at the bottom sets the size of the region under column 5. The mean of
    // the three counts, divided by 3 in whole numbers, must exceed a fifth of 300 x 400.
    const int cols = 300, rows = 400;
    auto walled = [&](int blockRows) {
        cv::Mat image = Uniform({0, 0, 255}, cols, rows);
        for (const int x : {150, 295}) {
            for (const cv::Point wall : {cv::Point(x - 1, 5), cv::Point(x + 1, 5),
                                         cv::Point(x, 4), cv::Point(x, 6)}) {
                image.at<cv::Vec3b>(wall) = cv::Vec3b(0, 255, 0);
            }
        }
        image(cv::Rect(0, rows - blockRows, cols, blockRows)).setTo(cv::Scalar(0, 255, 0));
        return image;
    };
    // 240 x 300 - 10 = 71990, plus 1 + 1: 71992 / 3 = 23997, under 24000.
    EXPECT_EQ(FloodFillArea(walled(160), {5, 5}), 71990u);
    EXPECT_FALSE(CheckBackground(walled(160)));
    // 241 x 300 - 10 = 72290: 24097 from the first region alone.
    EXPECT_TRUE(CheckBackground(walled(159)));
}

TEST(CheckBackground, TwoProbesOnBackgroundOutweighOneOnHair) {
    cv::Mat image = Uniform({255, 0, 0}, 400, 500);
    // Dark hair under the middle point only, small enough that the colour mean stays blue.
    cv::rectangle(image, cv::Rect(150, 0, 100, 150), cv::Scalar(60, 0, 0), cv::FILLED);
    EXPECT_TRUE(CheckBackground(image));
}

TEST(CheckBackground, LeavesTheImageAndTheThreadsGeneratorAlone) {
    cv::Mat image = Uniform({255, 0, 0}, 400, 500);
    cv::circle(image, {200, 300}, 120, cv::Scalar(90, 120, 200), cv::FILLED);
    const cv::Mat before = image.clone();
    cv::theRNG() = cv::RNG(99);
    cv::RNG own(5);
    EXPECT_TRUE(CheckBackground(image, nullptr, own));
    EXPECT_EQ(cv::norm(image, before, cv::NORM_INF), 0);
    EXPECT_EQ(cv::theRNG().state, cv::RNG(99).state) << "the audit's generator is its own";
    EXPECT_NE(own.state, cv::RNG(5).state);
}

// The background probes and the head-top search draw their fill colours from one generator,
// and a pixel that happens to carry the head-top search's colour counts as background. So how
// many values the background check draws decides which row is the head top: with three per
// probe, the head-top colour is the generator's 10th to 12th draws after a passed check and its
// 1st to 3rd after a colour rejected before the probes.
TEST(CheckBackground, EachProbeDrawsThreeValuesForTheHeadTopSearchToFollow) {
    constexpr std::uint64_t kSeed = 20261208;
    const auto headTopColour = [&](int drawsBefore) {
        cv::RNG peek(kSeed);
        for (int i = 0; i < drawsBefore; ++i) {
            peek.next();
        }
        const uchar c0 = peek, c1 = peek, c2 = peek;
        return cv::Scalar(c0, c1, c2);
    };
    // White above row 50, dark from row 51; row 50 carries `colour`.
    const auto headTopRow = [](cv::Scalar colour) {
        cv::Mat photo(400, 300, CV_8UC3, cv::Scalar(0, 0, 0));
        photo(cv::Rect(0, 0, 300, 50)).setTo(cv::Scalar(255, 255, 255));
        photo(cv::Rect(0, 50, 300, 1)).setTo(colour);
        return FindHeadTop(photo, {100, 150, 100, 100});
    };
    for (const auto& [image, draws] : {std::pair{Uniform({255, 255, 255}), 9},
                                       std::pair{Uniform({0, 255, 0}), 0}}) {
        const cv::Scalar colour = headTopColour(draws);
        ASSERT_LT(std::min({colour[0], colour[1], colour[2]}), 235) << "passes for white";
        cv::theRNG() = cv::RNG(kSeed);
        EXPECT_EQ(CheckBackground(image), draws > 0);
        EXPECT_EQ(headTopRow(colour), 51) << "the drawn colour should count as background";
    }
}

TEST(CheckBackground, InputTheAuditNeverPassesIsRejectedSafely) {
    EXPECT_FALSE(CheckBackground(cv::Mat()));
    EXPECT_FALSE(CheckBackground(Uniform({255, 255, 255}, 5, 300)));
    EXPECT_FALSE(CheckBackground(Uniform({255, 255, 255}, 300, 5)));
    EXPECT_FALSE(CheckBackground(cv::Mat(300, 215, CV_8UC1, cv::Scalar(255))));
    EXPECT_FALSE(CheckBackground(cv::Mat(300, 215, CV_8UC4, cv::Scalar::all(255))));
    EXPECT_FALSE(CheckBackground(cv::Mat(300, 215, CV_16UC3, cv::Scalar::all(65535))));
    // The smallest image with all three sample points inside.
    EXPECT_TRUE(CheckBackground(Uniform({255, 255, 255}, 6, 6)));
}

TEST(FloodFillArea, CountsTheConnectedRegionWithinThirty) {
    cv::Mat image = Uniform({100, 100, 100}, 50, 40);
    image(cv::Rect(0, 20, 50, 20)).setTo(cv::Scalar(130, 130, 130));  // within 30: joined
    image(cv::Rect(0, 10, 25, 1)).setTo(cv::Scalar(131, 100, 100));   // one channel beyond
    EXPECT_EQ(FloodFillArea(image, {5, 5}), 50u * 40 - 25);
    EXPECT_EQ(FloodFillArea(image, {5, 10}), 25u * 1 + 0);
    EXPECT_EQ(FloodFillArea(image, {-1, 5}), 0u);
}

}  // namespace
