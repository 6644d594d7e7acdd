#include <algorithm>
#include <optional>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "engine/Framing.h"

namespace {

struct FramingCase {
    const char* what;
    cv::Size photo;
    cv::Rect face;
    int headTop;
    bool accepted;
    double f;
    cv::Size resized;
    cv::Rect sub;
};

void PrintTo(const FramingCase& c, std::ostream* os) { *os << c.what; }

class CropSearch : public testing::TestWithParam<FramingCase> {};

TEST_P(CropSearch, WorkedExample) {
    const FramingCase& c = GetParam();
    const std::optional<CropPlan> plan =
        PlanPortraitCrop(c.photo.width, c.photo.height, c.face, c.headTop);
    ASSERT_EQ(plan.has_value(), c.accepted) << c.what;
    if (!plan) {
        return;
    }
    EXPECT_DOUBLE_EQ(plan->scale, c.f) << c.what;
    EXPECT_EQ(plan->resized, c.resized) << c.what;
    EXPECT_EQ(plan->sub, c.sub) << c.what;
    EXPECT_EQ(plan->width, c.sub.width) << c.what;
    EXPECT_EQ(plan->height, c.sub.height) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Examples, CropSearch,
    testing::Values(
        FramingCase{"narrowing search ends at r 0.93, kept unscaled", {358, 441},
                    {100, 150, 150, 150}, 60, true, 1.0, {358, 441}, {29, 35, 289, 404}},
        FramingCase{"standard crop 400 wide is reduced", {600, 800}, {200, 250, 200, 200},
                    150, true, 295.0 / 400, {442, 590}, {73, 65, 295, 413}},
        FramingCase{"widening crop 181 wide is enlarged", {400, 560}, {150, 200, 90, 90}, 150,
                    true, 215.0 / 181, {475, 665}, {123, 150, 215, 301}},
        FramingCase{"170 wide may not be enlarged", {400, 560}, {150, 200, 85, 85}, 150, false,
                    0, {}, {}},
        FramingCase{"173 wide may be enlarged", {400, 560}, {150, 200, 86, 86}, 150, true,
                    215.0 / 173, {497, 695}, {131, 161, 215, 301}},
        FramingCase{"second pass accepts at k 0.70", {323, 450}, {68, 40, 143, 143}, 10, true,
                    215.0 / 174, {399, 556}, {63, 0, 215, 301}},
        FramingCase{"face at the top edge", {358, 441}, {100, 5, 150, 150}, 3, false, 0, {},
                    {}},
        FramingCase{"crop overruns the scaled photo by a row", {1034, 506}, {616, 41, 415, 415},
                    10, true, 295.0 / 362, {842, 412}, {522, 0, 295, 413}}));

TEST(CropSearch, SecondPassRatioAndNarrowingFactorAreAccumulated) {
    // Accepted at the second pass's second ratio (0.8 - 0.05 - 0.05, which is the double 0.7)
    // after 156 narrowing steps of 0.005 down from 0.995. The steps are added up, so r carries
    // their rounding: 0.2149999999999993, not 0.215.
    const std::optional<CropPlan> plan = PlanPortraitCrop(323, 450, {68, 40, 143, 143}, 10);
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->spaceRatio, 0.7);
    EXPECT_EQ(plan->widthFactor, 0.2149999999999993);
    EXPECT_NE(plan->widthFactor, 0.215);
    EXPECT_EQ(plan->x1 - plan->x0, 174);
}

TEST(CropSearch, HeadTopRowsNineAndTenBothMeanMarginRowZero) {
    const cv::Rect face{100, 150, 150, 150};
    const auto at9 = PlanPortraitCrop(358, 441, face, 9);
    const auto at10 = PlanPortraitCrop(358, 441, face, 10);
    ASSERT_TRUE(at9 && at10);
    EXPECT_EQ(at9->sub, at10->sub);
    EXPECT_EQ(at9->spaceRatio, at10->spaceRatio);
    EXPECT_EQ(at9->widthFactor, at10->widthFactor);
}

TEST(CropSearch, HeightIsTruncatedFromOnePointFourTimesTheWidth) {
    // tW 215, 250 and 295 give tH 301, 350 and 413.
    const auto enlarged = PlanPortraitCrop(400, 560, {150, 200, 90, 90}, 150);
    const auto reduced = PlanPortraitCrop(600, 800, {200, 250, 200, 200}, 150);
    ASSERT_TRUE(enlarged && reduced);
    EXPECT_EQ(enlarged->height, 301);
    EXPECT_EQ(reduced->height, 413);
    // A 126-wide face gives an unscaled 252-wide standard crop: 352.8 rows, truncated.
    const auto kept = PlanPortraitCrop(600, 800, {240, 250, 126, 126}, 150);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->scale, 1.0);
    EXPECT_EQ(kept->width, 252);
    EXPECT_EQ(kept->height, 352);
}

TEST(CropSearch, DegenerateInputFindsNothing) {
    EXPECT_FALSE(PlanPortraitCrop(400, 560, {150, 200, 0, 0}, 150));
    EXPECT_FALSE(PlanPortraitCrop(0, 0, {0, 0, 10, 10}, 0));
    // Far outside any photo: positions saturate instead of overflowing.
    EXPECT_FALSE(PlanPortraitCrop(400, 560, {2000000000, 2000000000, 100, 100}, -2000000000));
}

TEST(CropSearch, HeadTopMustLieAboveTheFace) {
    // The last row above the face still frames; the face's own top row and any row below do
    // not, however far (a row far below once made crops of negative width and scale).
    const cv::Rect face{150, 200, 90, 90};
    EXPECT_TRUE(PlanPortraitCrop(400, 560, face, 199));
    EXPECT_FALSE(PlanPortraitCrop(400, 560, face, 200));
    EXPECT_FALSE(PlanPortraitCrop(400, 560, face, 2629120));
    EXPECT_FALSE(PlanPortraitCrop(10, 2, {0, 0, 8, 8}, 2629120));
    EXPECT_FALSE(PlanPortraitCrop(400, 560, face, -1));
}

// A plain white photo with a dark head: a disc for the skull and a block for the body.
cv::Mat Portrait(cv::Size size, const cv::Rect& face, int headTop) {
    cv::Mat photo(size, CV_8UC3, cv::Scalar(255, 255, 255));
    cv::rectangle(photo, cv::Rect(face.x, headTop, face.width, size.height - headTop),
                  cv::Scalar(40, 50, 60), cv::FILLED);
    return photo;
}

TEST(FindHeadTop, FivePercentOfTheFaceWidthMakeTheHeadTop) {
    const cv::Rect face{100, 150, 100, 100};
    cv::Mat photo(400, 300, CV_8UC3, cv::Scalar(255, 255, 255));
    photo(cv::Rect(face.x, 60, 5, 1)).setTo(cv::Scalar(0, 0, 0));  // 5 of 100: the head top
    photo(cv::Rect(face.x + 50, 40, 4, 1)).setTo(cv::Scalar(0, 0, 0));  // 4 of 100: not yet
    // Dark pixels outside the face's columns do not count.
    photo(cv::Rect(0, 20, face.x, 1)).setTo(cv::Scalar(0, 0, 0));
    EXPECT_EQ(FindHeadTop(photo, face), 60);
}

TEST(FindHeadTop, OnlyRowsAboveTheFaceAreScanned) {
    const cv::Rect face{100, 150, 100, 100};
    cv::Mat photo(400, 300, CV_8UC3, cv::Scalar(255, 255, 255));
    photo(cv::Rect(face.x, 150, 100, 100)).setTo(cv::Scalar(0, 0, 0));
    EXPECT_FALSE(FindHeadTop(photo, face));
    EXPECT_FALSE(FindHeadTop(photo, cv::Rect(100, 0, 100, 100)));
}

TEST(FindHeadTop, PixelsCarryingTheDrawnColourCountAsBackground) {
    const cv::Rect face{100, 150, 100, 100};
    cv::theRNG() = cv::RNG(20261208);
    cv::RNG peek = cv::theRNG();  // the same three draws the fill will make
    const uchar c0 = peek, c1 = peek, c2 = peek;
    ASSERT_LT(std::min({c0, c1, c2}), 235) << "the drawn colour must not pass for white";

    // White above row 50; row 50 is cut off from the fill, row 51 on is dark.
    auto photoWithRow50 = [&](cv::Scalar colour) {
        cv::Mat photo(400, 300, CV_8UC3, cv::Scalar(0, 0, 0));
        photo(cv::Rect(0, 0, 300, 50)).setTo(cv::Scalar(255, 255, 255));
        photo(cv::Rect(0, 50, 300, 1)).setTo(colour);
        return photo;
    };
    cv::theRNG() = cv::RNG(20261208);
    EXPECT_EQ(FindHeadTop(photoWithRow50(cv::Scalar(c0, c1, c2)), face), 51);
    cv::theRNG() = cv::RNG(20261208);
    EXPECT_EQ(FindHeadTop(photoWithRow50(cv::Scalar(c0 ^ 1, c1, c2)), face), 50);
}

TEST(FindHeadTop, InputTheAuditNeverPassesIsRejectedSafely) {
    const cv::Mat white(400, 300, CV_8UC3, cv::Scalar(255, 255, 255));
    EXPECT_FALSE(FindHeadTop(white, {250, 100, 100, 100}));  // past the right edge
    EXPECT_FALSE(FindHeadTop(white, {100, 350, 100, 100}));  // past the bottom
    EXPECT_FALSE(FindHeadTop(white, {-1, 100, 100, 100}));
    EXPECT_FALSE(FindHeadTop(cv::Mat(400, 300, CV_8UC1), {100, 100, 100, 100}));
    EXPECT_FALSE(FindHeadTop(cv::Mat(5, 300, CV_8UC3), {0, 0, 1, 1}));
}

TEST(CheckProportion, FaceUnderAFifthOrOverFourFifthsOfTheWidthFailsThoughItWouldFrame) {
    // Faces a pixel either side of 500 / 5 = 100 and 1000 * 4 / 5 = 800; each one frames.
    struct GateCase {
        int photoWidth;
        cv::Rect face;
        bool accepted;
    };
    const GateCase cases[] = {
        {500, {200, 400, 99, 99}, false},
        {500, {200, 400, 100, 100}, true},
        {1000, {100, 400, 800, 800}, true},
        {1000, {99, 400, 801, 801}, false},
    };
    for (const GateCase& c : cases) {
        const cv::Mat photo =
            Portrait({c.photoWidth, c.face.y + c.face.height + 400}, c.face, 300);
        cv::Mat result;
        ASSERT_TRUE(FramePortrait(photo, c.face, result)) << c.face;
        EXPECT_EQ(CheckProportion(photo, c.face, result), c.accepted) << c.face;
    }
}

TEST(CheckProportion, BuildsTheNormalisedPhotoWithPixelsOfItsOwn) {
    const cv::Rect face{150, 200, 90, 90};
    const cv::Mat photo = Portrait({400, 560}, face, 150);
    const cv::Mat before = photo.clone();
    cv::Mat result;
    CropPlan plan;
    ASSERT_TRUE(CheckProportion(photo, face, result, &plan));
    EXPECT_EQ(result.size(), cv::Size(215, 301));
    EXPECT_EQ(result.type(), CV_8UC3);
    EXPECT_EQ(plan.sub, cv::Rect(123, 150, 215, 301));
    EXPECT_EQ(cv::norm(photo, before, cv::NORM_INF), 0);

    cv::Mat resized;
    cv::resize(photo, resized, plan.resized, 0, 0, cv::INTER_AREA);
    EXPECT_EQ(cv::norm(result, resized(plan.sub), cv::NORM_INF), 0);

    const uchar* start = photo.datastart;
    EXPECT_TRUE(result.datastart < start || result.datastart >= photo.dataend);
}

TEST(CheckProportion, UnscaledCropStartsOneColumnAndRowBeforeX0Y0) {
    const cv::Rect face{100, 150, 150, 150};
    const cv::Mat photo = Portrait({358, 441}, face, 60);
    cv::Mat result;
    CropPlan plan;
    ASSERT_TRUE(CheckProportion(photo, face, result, &plan));
    EXPECT_EQ(plan.sub, cv::Rect(29, 35, 289, 404));
    EXPECT_EQ(cv::norm(result, photo(plan.sub), cv::NORM_INF), 0);
}

TEST(CheckProportion, FailureLeavesTheResultUntouched) {
    const cv::Mat photo = Portrait({400, 560}, {150, 200, 85, 85}, 150);
    cv::Mat result(10, 10, CV_8UC3, cv::Scalar(1, 2, 3));
    const uchar* data = result.data;
    EXPECT_FALSE(CheckProportion(photo, {150, 200, 85, 85}, result));  // 170 may not be enlarged
    EXPECT_FALSE(CheckProportion(photo, {150, 200, 30, 30}, result));  // too narrow a face
    EXPECT_EQ(result.data, data);
    EXPECT_EQ(result.at<cv::Vec3b>(0, 0), cv::Vec3b(1, 2, 3));
}

TEST(BuildNormalisedPhoto, OverrunIsFilledByRepeatingTheLastRow) {
    cv::Mat photo(506, 1034, CV_8UC3);
    cv::randu(photo, 0, 256);
    const auto plan = PlanPortraitCrop(1034, 506, {616, 41, 415, 415}, 10);
    ASSERT_TRUE(plan);
    const cv::Mat result = BuildNormalisedPhoto(photo, *plan);
    ASSERT_EQ(result.size(), cv::Size(295, 413));
    cv::Mat resized;
    cv::resize(photo, resized, plan->resized, 0, 0, cv::INTER_AREA);
    EXPECT_EQ(cv::norm(result(cv::Rect(0, 0, 295, 412)), resized(cv::Rect(522, 0, 295, 412)),
                       cv::NORM_INF),
              0);
    EXPECT_EQ(cv::norm(result.row(412), result.row(411), cv::NORM_INF), 0);
}

// The normalised photo is cut from a scaled copy of only the part of the photo that the crop
// needs; every pixel must still equal the one cut from the whole photo scaled, for reductions
// by any factor (OpenCV takes other paths for whole factors) and for enlargements, with the crop
// anywhere in the scaled photo, overrunning it or not, and from a photo that is itself a view.
TEST(BuildNormalisedPhoto, PixelsEqualThoseCutFromTheWholeScaledPhoto) {
    struct ScaleCase {
        cv::Size photo;
        double f;
    };
    const ScaleCase scales[] = {
        {{1200, 1680}, 295.0 / 820},  // the usual reduction
        {{1034, 506}, 295.0 / 362},
        {{900, 1240}, 0.5},           // a whole factor on both axes
        {{885, 1239}, 1.0 / 3},
        {{640, 1300}, 0.5},           // a whole factor across only
        {{300, 420}, 215.0 / 181},    // enlargement
    };
    cv::RNG rng(20240607);
    for (const ScaleCase& s : scales) {
        cv::Mat canvas(s.photo.height + 3, s.photo.width + 5, CV_8UC3);
        rng.fill(canvas, cv::RNG::UNIFORM, 0, 256);
        const cv::Mat photo = canvas(cv::Rect({2, 1}, s.photo));
        CropPlan plan;
        plan.scale = s.f;
        plan.resized = cv::Size(static_cast<int>(s.f * s.photo.width),
                                static_cast<int>(s.photo.height * s.f));
        plan.width = std::min(215, plan.resized.width - 2);
        plan.height = static_cast<int>(1.4 * plan.width);
        cv::Mat whole;
        cv::resize(photo, whole, plan.resized, 0, 0, cv::INTER_AREA);
        const int lastX = plan.resized.width - plan.width;
        const int lastY = std::max(0, plan.resized.height - plan.height);
        const cv::Point origins[] = {{0, 0}, {lastX / 2, lastY / 3}, {lastX, lastY}, {lastX - 1, 0}};
        for (const cv::Point& origin : origins) {
            plan.sub = cv::Rect(origin, cv::Size(plan.width, plan.height));
            const cv::Mat result = BuildNormalisedPhoto(photo, plan);
            const cv::Rect inside = plan.sub & cv::Rect({0, 0}, plan.resized);
            ASSERT_EQ(result.size(), plan.sub.size()) << s.photo << " f " << s.f << origin;
            EXPECT_EQ(cv::norm(result(inside - origin), whole(inside), cv::NORM_INF), 0)
                << s.photo << " f " << s.f << " at " << origin;
        }
    }
}

}  // namespace
