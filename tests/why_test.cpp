// The explanation of a verdict: the facts the ladder captured, the cause, and the hint.

#include <cmath>
#include <filesystem>
#include <set>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "engine/PhotoAudit.h"
#include "engine/Why.h"
#include "test_support.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Every example photo, against what was written down by looking at it and at its reference.

struct WhyCase {
    const char* file;
    WhyCause cause;
    cv::Size pixels;      // {0, 0}: the size rung is not reached
    const char* classes;  // the three samples' classes and the mean's, r b w or n; "": not reached
    int faceWidth;        // from the reference; 0: the proportion rung is not reached
    CropLimit stop;       // what stopped the crop search
};

void PrintTo(const WhyCase& c, std::ostream* os) {
    *os << c.file;
}

BackgroundClass ClassOf(char c) {
    switch (c) {
        case 'r':
            return BackgroundClass::Red;
        case 'b':
            return BackgroundClass::Blue;
        case 'w':
            return BackgroundClass::White;
        default:
            return BackgroundClass::None;
    }
}

class ExamplePhoto : public testing::TestWithParam<WhyCase> {
protected:
    static void SetUpTestSuite() {
        audit_ = &LoadedAudit();
        ASSERT_FALSE(audit_->m_faceCascade.empty());
    }
    static const AuditWhy& Audit(const std::string& file) {
        audit_->AuditFile(TestData(file), file);
        return audit_->m_details.why;
    }
    static RecordingAudit* audit_;
};

RecordingAudit* ExamplePhoto::audit_ = nullptr;

TEST_P(ExamplePhoto, WhyMatchesWhatThePhotoShows) {
    const WhyCase& c = GetParam();
    const AuditWhy& why = Audit(c.file);
    EXPECT_EQ(WhyCauseName(why.cause), std::string(WhyCauseName(c.cause))) << c.file;
    EXPECT_EQ(why.cause == WhyCause::None, audit_->m_nState == Passed) << c.file;

    ASSERT_EQ(why.size.has_value(), c.pixels.width > 0) << c.file;
    if (!why.size) {
        return;
    }
    EXPECT_EQ(cv::Size(why.size->width, why.size->height), c.pixels) << c.file;
    EXPECT_EQ(why.size->bytes, std::filesystem::file_size(TestData(c.file))) << c.file;

    ASSERT_EQ(why.background.has_value(), std::string(c.classes).size() == 4) << c.file;
    if (!why.background) {
        return;
    }
    const BackgroundFacts& bg = *why.background;
    const int cols = c.pixels.width;
    const cv::Point points[3] = {{5, 5}, {cols / 2, 5}, {cols - 5, 5}};
    for (int i = 0; i < 3; ++i) {
        const BackgroundProbe& p = bg.probes[static_cast<std::size_t>(i)];
        EXPECT_EQ(p.point, points[i]) << c.file << " probe " << i;
        EXPECT_EQ(p.colour, ClassOf(c.classes[i])) << c.file << " probe " << i;
    }
    EXPECT_EQ(bg.meanColour, ClassOf(c.classes[3])) << c.file;
    EXPECT_EQ(bg.pixels, cols * c.pixels.height) << c.file;
    // Fills run only once the colour passes, and the coverage decides the rung.
    EXPECT_EQ(bg.coverage.has_value(), bg.meanColour != BackgroundClass::None) << c.file;
    EXPECT_EQ(bg.probes[0].fill.has_value(), bg.meanColour != BackgroundClass::None) << c.file;
    if (bg.coverage) {
        EXPECT_EQ(*bg.coverage > 0.2, c.cause != WhyCause::BackgroundNotPlain) << c.file;
    }

    ASSERT_EQ(why.framing.has_value(), c.faceWidth > 0) << c.file;
    if (!why.framing) {
        return;
    }
    const FramingFacts& fr = *why.framing;
    EXPECT_DOUBLE_EQ(fr.faceShare, static_cast<double>(c.faceWidth) / cols) << c.file;
    // Framed unless the case's written cause is the proportion gate's.
    EXPECT_EQ(fr.framed, c.cause != WhyCause::FaceTooSmall && c.cause != WhyCause::FaceTooLarge)
        << c.file;
    EXPECT_EQ(CropLimitName(fr.trail.stop), std::string(CropLimitName(c.stop))) << c.file;
    if (c.cause == WhyCause::None) {
        // The accepted crop is the one reported, and it lies inside the photo.
        const CropPlan& plan = *audit_->m_details.crop;
        EXPECT_EQ(fr.trail.tried, cv::Rect(plan.x0, plan.y0, plan.x1 - plan.x0, plan.y1 - plan.y0))
            << c.file;
        EXPECT_EQ(fr.trail.tried & cv::Rect({0, 0}, c.pixels), fr.trail.tried) << c.file;
        EXPECT_TRUE(fr.headTop.has_value()) << c.file;
    }
}

const cv::Size kNone{0, 0};

const WhyCase kExamples[] = {
    WhyCase{"pass_red_test2_295x413.jpg", WhyCause::None, {295, 413}, "rrrr", 134, CropLimit::None},
    WhyCase{
        "pass_white_test3_295x413.jpg", WhyCause::None, {295, 413}, "wwww", 134, CropLimit::None},
    WhyCase{"size_file_30720_bytes_white_test3.jpg",
            WhyCause::None,
            {300, 400},
            "wwww",
            137,
            CropLimit::None},
    WhyCase{"size_file_30719_bytes_white_test3.jpg",
            WhyCause::FileTooSmall,
            {300, 400},
            "",
            0,
            CropLimit::None},
    WhyCase{"prop_head_touching_top_offcentre_red_test4_480x640.jpg",
            WhyCause::None,
            {480, 640},
            "rrrr",
            148,
            CropLimit::None},
    WhyCase{"fmt_bmp_content_named_jpg_red_test4.jpg",
            WhyCause::None,
            {360, 480},
            "rrrr",
            126,
            CropLimit::None},
    // The sample at the right edge falls on a reddish seam; the mean is still blue.
    WhyCase{"orient_sideways_no_exif_blue_test2_579x413.jpg",
            WhyCause::None,
            {579, 413},
            "bbrb",
            122,
            CropLimit::None},
    WhyCase{
        "pass_white_test1_358x441.jpg", WhyCause::None, {358, 441}, "wwww", 169, CropLimit::None},
    WhyCase{"pass_red_test4_240x320.jpg", WhyCause::None, {240, 320}, "rrrr", 92, CropLimit::None},
    WhyCase{"orient_exif6_stored_sideways_blue_test1_480x640.jpg",
            WhyCause::None,
            {480, 640},
            "bbbb",
            239,
            CropLimit::None},
    WhyCase{"bg_green_test3.jpg",
            WhyCause::BackgroundNotAccepted,
            {413, 579},
            "nnnn",
            0,
            CropLimit::None},
    WhyCase{
        "bg_dark_test2.jpg", WhyCause::BackgroundTooDark, {413, 579}, "nnnn", 0, CropLimit::None},
    WhyCase{"bg_red_thin_band_top_busy_test1.jpg",
            WhyCause::BackgroundNotPlain,
            {480, 640},
            "rrrr",
            0,
            CropLimit::None},
    WhyCase{"prop_face_low_white_test4.jpg",
            WhyCause::NoRoomBelow,
            {480, 640},
            "wwww",
            141,
            CropLimit::Below},
    WhyCase{"prop_face_small_0.15_blue_test2_867x377.jpg",
            WhyCause::FaceTooSmall,
            {867, 377},
            "bbbb",
            141,
            CropLimit::None},
    WhyCase{"prop_face_at_left_edge_blue_test2_640x640.jpg",
            WhyCause::NoRoomAtSides,
            {640, 640},
            "bbbb",
            187,
            CropLimit::Sides},
    WhyCase{"noface_upside_down_red_test3_413x579.jpg", WhyCause::NoFace, kNone, "", 0,
            CropLimit::None},
    WhyCase{"bad_truncated_headers_only_blue_test1.jpg", WhyCause::NotAnImage, kNone, "", 0,
            CropLimit::None},
    WhyCase{"faces_two_composite_blue_800x700.jpg",
            WhyCause::None,
            {800, 700},
            "bbbb",
            201,
            CropLimit::None},
    WhyCase{"size_landscape_300x215_red_test2.jpg",
            WhyCause::TooFewPixels,
            {300, 215},
            "",
            0,
            CropLimit::None},
    WhyCase{"group_assets_demoImage_resized_1213x426.jpg", WhyCause::TooManyFaces, kNone, "", 0,
            CropLimit::None},
    WhyCase{"bad_truncated_half_red_test3_1050x1470.jpg",
            WhyCause::None,
            {1050, 1470},
            "rrrr",
            500,
            CropLimit::None}};

INSTANTIATE_TEST_SUITE_P(Examples, ExamplePhoto, testing::ValuesIn(kExamples));

TEST(ExamplePhotos, EveryPhotoOfTheFolderHasACase) {
    std::set<std::string> listed;
    for (const WhyCase& c : kExamples) {
        listed.insert(c.file);
    }
    std::set<std::string> photos;
    for (const auto& entry : std::filesystem::directory_iterator(VETRIX_TEST_DATA)) {
        if (entry.is_regular_file() && entry.path().extension() == ".jpg") {
            photos.insert(entry.path().filename().string());
        }
    }
    EXPECT_EQ(photos, listed);
}

TEST_F(ExamplePhoto, TooSmallFaceGivesItsShare) {
    const AuditWhy& why = Audit("prop_face_small_0.15_blue_test2_867x377.jpg");
    EXPECT_DOUBLE_EQ(why.framing->faceShare, 141.0 / 867);
    EXPECT_FALSE(why.framing->framed) << "no head top is looked for below the gate";
    EXPECT_EQ(WhyReason(why, std::nullopt),
              "人脸太小，请靠近镜头 (face 0.163 of the width, needs 0.2 to 0.8)");
}

TEST_F(ExamplePhoto, GreenBackgroundIsNoAcceptedColourAndIsNeverFilled) {
    const AuditWhy& why = Audit("bg_green_test3.jpg");
    for (const BackgroundProbe& p : why.background->probes) {
        EXPECT_GT(p.hsv.hue, 90);
        EXPECT_LT(p.hsv.hue, 150) << "green";
        EXPECT_EQ(p.colour, BackgroundClass::None);
        EXPECT_FALSE(p.fill);
    }
    EXPECT_FALSE(why.background->coverage);
    EXPECT_EQ(WhyHint(why.cause), std::string("背景颜色不对，请使用红色、蓝色或白色背景"));
}

TEST_F(ExamplePhoto, DarkBackgroundIsBelowTheDarkLimit) {
    // Painted BGR (32, 30, 28): value 32 / 255, give or take what the JPEG coding moved.
    const AuditWhy& why = Audit("bg_dark_test2.jpg");
    EXPECT_NEAR(why.background->mean.value, 32.0 / 255, 4.0 / 255);
    EXPECT_LT(why.background->mean.value, 0.13);
}

TEST_F(ExamplePhoto, ThinRedBandCoversAboutItsOwnShare) {
    // The band is the top 45 of 640 rows; the JPEG edge leaves 44 of them within the tolerance.
    const AuditWhy& why = Audit("bg_red_thin_band_top_busy_test1.jpg");
    ASSERT_TRUE(why.background->coverage);
    EXPECT_DOUBLE_EQ(*why.background->coverage, 44.0 / 640);
    for (const BackgroundProbe& p : why.background->probes) {
        EXPECT_EQ(p.fill, std::optional<std::uint64_t>(44 * 480)) << "every probe filled";
    }
}

TEST_F(ExamplePhoto, LowFaceIsStoppedBelowAtEveryRatio) {
    const AuditWhy& why = Audit("prop_face_low_white_test4.jpg");
    const FramingFacts& fr = *why.framing;
    EXPECT_EQ(fr.trail.stop, CropLimit::Below);
    EXPECT_EQ(fr.trail.rejected[static_cast<int>(CropLimit::Below)], 24 + 5);
    // Face (166, 484, 141, 141) in 640 rows: 15 rows under the chin.
    EXPECT_DOUBLE_EQ(fr.roomBelow, 15.0 / 141);
    ASSERT_TRUE(fr.headTop && fr.roomAbove);
    EXPECT_LT(*fr.headTop, 484);
    EXPECT_DOUBLE_EQ(*fr.roomAbove, *fr.headTop / 141.0);
    EXPECT_GT(fr.trail.tried.y + fr.trail.tried.height, 640)
        << "the crop tried runs off the bottom";
}

TEST_F(ExamplePhoto, FaceAtTheLeftEdgeIsStoppedAtTheSides) {
    const AuditWhy& why = Audit("prop_face_at_left_edge_blue_test2_640x640.jpg");
    EXPECT_EQ(why.framing->trail.stop, CropLimit::Sides);
    EXPECT_LT(why.framing->trail.tried.x, 0);
}

TEST_F(ExamplePhoto, PhotoRefusedFromItsHeaderHasTooManyPixels) {
    const std::string file =
        std::string(VETRIX_SOURCE_DIR) + "/fuzz/corpus/fuzz_audit_file/announces_60000x60000.jpg";
    audit_->AuditFile(file, "announces_60000x60000.jpg");
    EXPECT_EQ(audit_->m_nState, BadSize);
    EXPECT_EQ(audit_->m_details.why.cause, WhyCause::TooManyPixels);
    EXPECT_FALSE(audit_->m_details.why.size) << "nothing was decoded to measure";
}

// ---------------------------------------------------------------------------------------------
// The framing causes that no example photo shows, from drawn photos and the crop search's own
// worked examples.

// A white photo with a dark block as the head, from `headTop` down to the face's bottom.
cv::Mat DrawnPortrait(cv::Size size, const cv::Rect& face, int headTop) {
    cv::Mat photo(size, CV_8UC3, cv::Scalar(255, 255, 255));
    cv::rectangle(photo, cv::Rect(face.x, headTop, face.width, face.y + face.height - headTop),
                  cv::Scalar(40, 60, 90), cv::FILLED);
    return photo;
}

struct FramingCauseCase {
    const char* what;
    cv::Size photo;
    cv::Rect face;
    int headTop;  // -1: nothing drawn above the face
    WhyCause cause;
};

void PrintTo(const FramingCauseCase& c, std::ostream* os) {
    *os << c.what;
}

class FramingCauses : public testing::TestWithParam<FramingCauseCase> {};

TEST_P(FramingCauses, CauseAndHint) {
    const FramingCauseCase& c = GetParam();
    const cv::Mat photo = c.headTop < 0 ? cv::Mat(c.photo, CV_8UC3, cv::Scalar(255, 255, 255))
                                        : DrawnPortrait(c.photo, c.face, c.headTop);
    FramingFacts facts;
    cv::Mat result;
    EXPECT_FALSE(CheckProportion(photo, c.face, result, nullptr, &facts)) << c.what;
    EXPECT_EQ(WhyCauseName(FramingCause(facts)), std::string(WhyCauseName(c.cause))) << c.what;
    EXPECT_EQ(facts.headTop.has_value(), c.headTop >= 0 && facts.framed) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Drawn, FramingCauses,
    testing::Values(
        FramingCauseCase{
            "face 0.83 of the width", {300, 400}, {25, 100, 250, 250}, 60, WhyCause::FaceTooLarge},
        FramingCauseCase{
            "face 0.19 of the width", {400, 560}, {150, 200, 76, 76}, 150, WhyCause::FaceTooSmall},
        FramingCauseCase{"nothing above the face",
                         {358, 441},
                         {100, 150, 150, 150},
                         -1,
                         WhyCause::HeadTopNotFound},
        FramingCauseCase{"face at the top edge, head from row 3",
                         {358, 441},
                         {100, 5, 150, 150},
                         3,
                         WhyCause::NoRoomAbove},
        FramingCauseCase{"crops 170 wide may not be enlarged",
                         {400, 560},
                         {150, 200, 85, 85},
                         150,
                         WhyCause::TooSmallToEnlarge}));

TEST(CropTrail, EnlargementLimitStopsEveryRatioAtTheWidenedCrop) {
    CropTrail trail;
    EXPECT_FALSE(PlanPortraitCrop(400, 560, {150, 200, 85, 85}, 150, &trail));
    EXPECT_EQ(trail.stop, CropLimit::Enlarge);
    EXPECT_EQ(trail.rejected[static_cast<int>(CropLimit::Enlarge)], 29);
    EXPECT_EQ(trail.tried.width, 170);
}

TEST(CropTrail, NarrowedCropsTooSmallToEnlargeCountForTheTop) {
    // Every narrowed crop is 113 to 119 wide: small because the standard crop ran off the top.
    CropTrail trail;
    EXPECT_FALSE(PlanPortraitCrop(358, 441, {100, 5, 150, 150}, 3, &trail));
    EXPECT_EQ(trail.stop, CropLimit::Above);
    EXPECT_GE(trail.tried.width, 113);
    EXPECT_LE(trail.tried.width, 119);
}

TEST(CropTrail, AcceptedCropIsTheOneReported) {
    // The worked example: x0 30, y0 36, x1 319, y1 440.
    CropTrail trail;
    trail.stop = CropLimit::Below;
    ASSERT_TRUE(PlanPortraitCrop(358, 441, {100, 150, 150, 150}, 60, &trail));
    EXPECT_EQ(trail.stop, CropLimit::None);
    EXPECT_EQ(trail.tried, cv::Rect(30, 36, 289, 404));
}

// ---------------------------------------------------------------------------------------------
// Background facts on uniform pictures.

TEST(BackgroundFacts, FillsAreSkippedOnceTheAnswerIsKnown) {
    const cv::Mat red(40, 40, CV_8UC3, cv::Scalar(0, 0, 255));
    BackgroundFacts facts;
    EXPECT_TRUE(CheckBackground(red, &facts));
    EXPECT_EQ(facts.outcome, BackgroundOutcome::Plain);
    EXPECT_EQ(facts.probes[1].point, cv::Point(20, 5));
    EXPECT_EQ(facts.probes[2].point, cv::Point(35, 5));
    EXPECT_EQ(facts.probes[0].fill, std::optional<std::uint64_t>(1600));
    EXPECT_FALSE(facts.probes[1].fill) << "the first fill alone gives a mean of 533 / 1600";
    EXPECT_FALSE(facts.probes[2].fill);
    EXPECT_DOUBLE_EQ(*facts.coverage, 533.0 / 1600);
}

TEST(BackgroundFacts, SamplesAreClassifiedOneByOneAndTheMeanDecides) {
    // Red, red, green across the top: two red samples, but the mean has hue 30 and fails.
    cv::Mat photo(300, 215, CV_8UC3, cv::Scalar(0, 0, 255));
    cv::rectangle(photo, cv::Rect(200, 0, 15, 20), cv::Scalar(0, 255, 0), cv::FILLED);
    BackgroundFacts facts;
    EXPECT_FALSE(CheckBackground(photo, &facts));
    EXPECT_EQ(facts.probes[0].colour, BackgroundClass::Red);
    EXPECT_EQ(facts.probes[1].colour, BackgroundClass::Red);
    EXPECT_EQ(facts.probes[2].colour, BackgroundClass::None);
    EXPECT_DOUBLE_EQ(facts.mean.hue, 30);
    EXPECT_EQ(facts.outcome, BackgroundOutcome::NotAccepted);
    EXPECT_EQ(BackgroundCause(facts), WhyCause::BackgroundNotAccepted);
}

TEST(BackgroundFacts, GreyHasNoHueAndTheFactsDoNotChangeTheAnswer) {
    for (const int level : {229, 230, 128, 33}) {
        const cv::Mat grey(300, 215, CV_8UC3, cv::Scalar(level, level, level));
        BackgroundFacts facts;
        EXPECT_EQ(CheckBackground(grey, &facts), CheckBackground(grey)) << level;
        EXPECT_TRUE(std::isnan(facts.probes[0].hsv.hue)) << level;
        EXPECT_EQ(facts.meanColour, level >= 230 ? BackgroundClass::White : BackgroundClass::None)
            << level;
        EXPECT_EQ(facts.outcome, level >= 230  ? BackgroundOutcome::Plain
                                 : level == 33 ? BackgroundOutcome::TooDark
                                               : BackgroundOutcome::NotAccepted)
            << level;
    }
}

// ---------------------------------------------------------------------------------------------
// The hint table.

TEST(Hints, OneDistinctPlainChineseHintPerCause) {
    std::set<std::string> hints;
    std::set<std::string> names;
    EXPECT_STREQ(WhyHint(WhyCause::None), "");
    for (int i = 1; i < kWhyCauseCount; ++i) {
        const auto cause = static_cast<WhyCause>(i);
        const std::string hint = WhyHint(cause);
        EXPECT_TRUE(hints.insert(hint).second) << WhyCauseName(cause) << ": shared hint";
        EXPECT_TRUE(names.insert(WhyCauseName(cause)).second) << i;
        EXPECT_EQ(ToValidUtf8(hint), hint) << WhyCauseName(cause);
        // Short enough to read at a glance: at most 24 characters of three bytes each.
        EXPECT_GE(hint.size(), 3u * 6) << WhyCauseName(cause);
        EXPECT_LE(hint.size(), 3u * 24) << WhyCauseName(cause);
        EXPECT_EQ(hint.find_first_of("abcdefghijklmnopqrstuvwxyz"), std::string::npos)
            << WhyCauseName(cause) << ": plain Chinese";
    }
    EXPECT_STREQ(WhyHint(static_cast<WhyCause>(kWhyCauseCount)), "") << "out of range";
}

}  // namespace
