#include <filesystem>
#include <optional>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "engine/Export.h"
#include "engine/PhotoAudit.h"
#include "test_support.h"

namespace {

struct PhotoCase {
    const char* file;
    ResultState state;
    std::size_t faces;
    std::optional<cv::Rect> face;
    std::optional<cv::Rect> crop;
    double scale;
};

void PrintTo(const PhotoCase& c, std::ostream* os) { *os << c.file; }

class RealPhoto : public testing::TestWithParam<PhotoCase> {
protected:
    static void SetUpTestSuite() {
        audit_ = new RecordingAudit;
        ASSERT_TRUE(audit_->LoadFaceCascade());
    }
    static void TearDownTestSuite() {
        delete audit_;
        audit_ = nullptr;
    }
    static RecordingAudit* audit_;
};

RecordingAudit* RealPhoto::audit_ = nullptr;

TEST_P(RealPhoto, VerdictFaceAndCrop) {
    const PhotoCase& c = GetParam();
    audit_->AuditFile(TestData(c.file), c.file);
    EXPECT_EQ(ResultStateName(audit_->m_nState), std::string(ResultStateName(c.state))) << c.file;
    EXPECT_EQ(audit_->m_details.faces.size(), c.faces) << c.file;
    EXPECT_EQ(audit_->m_details.face, c.face) << c.file;
    const auto& crop = audit_->m_details.crop;
    ASSERT_EQ(crop.has_value(), c.crop.has_value()) << c.file;
    if (!crop) {
        return;
    }
    EXPECT_EQ(crop->sub, *c.crop) << c.file;
    EXPECT_EQ(crop->f, c.scale) << c.file;
    EXPECT_EQ(audit_->m_matResult.size(), c.crop->size()) << c.file;

    // Saved bytes: where the photo is cut unscaled, they are fixed to the byte; where it is
    // scaled, the reference was made with another interpolation, so the decoded pictures must
    // agree closely (a crop shifted by one pixel differs several times more).
    const std::string stem = std::filesystem::path(c.file).stem().string();
    const std::string reference = TestData("expected-saved/" + stem + ".jpg");
    const std::vector<std::uint8_t> saved = EncodeApprovedPhoto(audit_->m_matResult);
    if (c.scale == 1.0) {
        EXPECT_EQ(saved, ReadBytes(reference)) << c.file;
    } else {
        const cv::Mat ours = cv::imdecode(saved, cv::IMREAD_COLOR);
        const cv::Mat theirs = cv::imread(reference);
        ASSERT_EQ(ours.size(), theirs.size()) << c.file;
        EXPECT_LT(cv::norm(ours, theirs, cv::NORM_L1) / ours.total() / 3, 1.5) << c.file;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Examples, RealPhoto,
    testing::Values(
        PhotoCase{"pass_red_test2_295x413.jpg", Passed, 1, cv::Rect(81, 119, 134, 134), cv::Rect(13, 10, 268, 375), 1.0},
        PhotoCase{"pass_white_test3_295x413.jpg", Passed, 1, cv::Rect(79, 119, 134, 134), cv::Rect(11, 10, 268, 375), 1.0},
        PhotoCase{"size_file_30720_bytes_white_test3.jpg", Passed, 1, cv::Rect(81, 119, 137, 137), cv::Rect(12, 9, 273, 382), 1.0},
        PhotoCase{"size_file_30719_bytes_white_test3.jpg", BadSize, 1, cv::Rect(81, 119, 137, 137), std::nullopt, 0},
        PhotoCase{"prop_head_touching_top_offcentre_red_test4_480x640.jpg", Passed, 1, cv::Rect(71, 123, 148, 148), cv::Rect(0, 0, 290, 406), 1.0},
        PhotoCase{"fmt_bmp_content_named_jpg_red_test4.jpg", Passed, 1, cv::Rect(117, 158, 126, 126), cv::Rect(53, 56, 252, 352), 1.0},
        PhotoCase{"orient_sideways_no_exif_blue_test2_579x413.jpg", Passed, 1, cv::Rect(226, 146, 122, 122), cv::Rect(164, 47, 244, 341), 1.0},
        PhotoCase{"pass_white_test1_358x441.jpg", Passed, 1, cv::Rect(103, 125, 169, 169), cv::Rect(28, 4, 295, 413), 0.9455128205128205},
        PhotoCase{"pass_red_test4_240x320.jpg", Passed, 1, cv::Rect(74, 109, 92, 92), cv::Rect(30, 40, 215, 301), 1.162162162162162},
        PhotoCase{"orient_exif6_stored_sideways_blue_test1_480x640.jpg", Passed, 1, cv::Rect(131, 162, 239, 239), cv::Rect(22, 0, 295, 413), 0.6828703703703703},
        PhotoCase{"bg_green_test3.jpg", BadBackground, 1, cv::Rect(103, 162, 203, 203), std::nullopt, 0},
        PhotoCase{"prop_face_low_white_test4.jpg", BadProportion, 1, cv::Rect(166, 484, 141, 141), std::nullopt, 0},
        PhotoCase{"noface_upside_down_red_test3_413x579.jpg", NoSinglePortrait, 0, std::nullopt, std::nullopt, 0},
        PhotoCase{"bad_truncated_headers_only_blue_test1.jpg", BadFormat, 0, std::nullopt, std::nullopt, 0},
        PhotoCase{"faces_two_composite_blue_800x700.jpg", Passed, 2, cv::Rect(162, 190, 201, 201), cv::Rect(45, 21, 295, 413), 0.7356608478802993},
        PhotoCase{"size_landscape_300x215_red_test2.jpg", BadSize, 1, cv::Rect(108, 71, 83, 83), std::nullopt, 0},
        PhotoCase{"group_assets_demoImage_resized_1213x426.jpg", NoSinglePortrait, 4, std::nullopt, std::nullopt, 0},
        PhotoCase{"bad_truncated_half_red_test3_1050x1470.jpg", Passed, 1, cv::Rect(268, 410, 500, 500), cv::Rect(4, 2, 295, 413), 0.295}),
    [](const testing::TestParamInfo<PhotoCase>& info) {
        std::string name = std::filesystem::path(info.param.file).stem().string();
        for (char& ch : name) {
            if (!std::isalnum(static_cast<unsigned char>(ch))) {
                ch = '_';
            }
        }
        return name;
    });

TEST(RealPhoto, ExifOrientationIsApplied) {
    // Stored sideways (480 wide, 640 high as decoded upright) with orientation 6.
    const cv::Mat photo = DecodePhoto(TestData("orient_exif6_stored_sideways_blue_test1_480x640.jpg"));
    EXPECT_EQ(photo.size(), cv::Size(480, 640));
}

}  // namespace
