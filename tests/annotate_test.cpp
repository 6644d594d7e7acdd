// The annotated copy: each mark is looked for at the pixels where it must be drawn.

#include <gtest/gtest.h>

#include "engine/Annotate.h"
#include "engine/PhotoAudit.h"
#include "test_support.h"

namespace {

cv::Vec3b Bgr(const cv::Scalar& s) {
    return cv::Vec3b(static_cast<uchar>(s[0]), static_cast<uchar>(s[1]), static_cast<uchar>(s[2]));
}

class Annotation : public testing::Test {
protected:
    static void SetUpTestSuite() {
        audit_ = &LoadedAudit();
        ASSERT_FALSE(audit_->m_faceCascade.empty());
    }
    // Audits the photo and draws on the decoded photo; the photo itself must come out unchanged.
    static cv::Mat Annotate(const std::string& file) {
        audit_->AuditFile(TestData(file), file);
        const cv::Mat photo = DecodePhoto(TestData(file));
        const cv::Mat before = photo.clone();
        cv::Mat out = AnnotatePhoto(photo, audit_->m_details);
        EXPECT_EQ(cv::norm(photo, before, cv::NORM_INF), 0) << file << ": input changed";
        EXPECT_EQ(out.size(), photo.size()) << file;
        EXPECT_NE(out.data, photo.data) << file;
        return out;
    }
    static RecordingAudit* audit_;
};

RecordingAudit* Annotation::audit_ = nullptr;

TEST_F(Annotation, PassedPhotoShowsFaceSamplesHeadTopAndTheCropCut) {
    const std::string file = "pass_red_test2_295x413.jpg";
    const cv::Mat out = Annotate(file);
    // The chosen face (81, 119, 134, 134), drawn over its own detection.
    EXPECT_EQ(out.at<cv::Vec3b>(119, 81 + 67), Bgr(marks::kChosenFace)) << file;
    EXPECT_EQ(out.at<cv::Vec3b>(119 + 134, 81), Bgr(marks::kChosenFace)) << file;
    // Red samples at (5, 5), (147, 5) and (290, 5), each with a black ring.
    for (const cv::Point p : {cv::Point(5, 5), cv::Point(147, 5), cv::Point(290, 5)}) {
        EXPECT_EQ(out.at<cv::Vec3b>(p), Bgr(marks::kSampleRed)) << file << " " << p;
        EXPECT_EQ(out.at<cv::Vec3b>(p + cv::Point(0, 7)), Bgr(marks::kOutline)) << file << p;
    }
    // The head top runs across the whole photo; the crop cut is x0 14, y0 11, 268 x 375.
    const int headTop = *audit_->m_details.why.framing->headTop;
    EXPECT_EQ(out.at<cv::Vec3b>(headTop, 0), Bgr(marks::kHeadTop)) << file;
    EXPECT_EQ(out.at<cv::Vec3b>(headTop, 294), Bgr(marks::kHeadTop)) << file;
    EXPECT_EQ(out.at<cv::Vec3b>(200, 14), Bgr(marks::kCropCut)) << file;
    EXPECT_EQ(out.at<cv::Vec3b>(200, 14 + 268), Bgr(marks::kCropCut)) << file;
    EXPECT_EQ(out.at<cv::Vec3b>(11, 100), Bgr(marks::kCropCut)) << file;
}

TEST_F(Annotation, LowFaceShowsTheCropTriedRunningOffTheBottom) {
    const std::string file = "prop_face_low_white_test4.jpg";
    const cv::Mat out = Annotate(file);
    const cv::Rect tried = audit_->m_details.why.framing->trail.tried;
    ASSERT_GT(tried.y + tried.height, out.rows);
    EXPECT_EQ(out.at<cv::Vec3b>(tried.y + 20, tried.x), Bgr(marks::kCropTried)) << file;
    EXPECT_EQ(out.at<cv::Vec3b>(tried.y, tried.x + 50), Bgr(marks::kCropTried)) << file;
    EXPECT_EQ(out.at<cv::Vec3b>(484, 166 + 70), Bgr(marks::kChosenFace)) << file;
    EXPECT_EQ(out.at<cv::Vec3b>(5, 5), Bgr(marks::kSampleWhite)) << file;
}

TEST_F(Annotation, GreenBackgroundShowsSamplesOfNoClassAndNoFraming) {
    const std::string file = "bg_green_test3.jpg";
    const cv::Mat out = Annotate(file);
    for (const cv::Point p : {cv::Point(5, 5), cv::Point(206, 5), cv::Point(408, 5)}) {
        EXPECT_EQ(out.at<cv::Vec3b>(p), Bgr(marks::kSampleNone)) << file << " " << p;
    }
    const cv::Mat photo = DecodePhoto(TestData(file));
    // Nothing else above the face (103, 162, 203, 203): no head-top line, no crop.
    const cv::Rect above(0, 20, out.cols, 162 - 20 - 4);
    EXPECT_EQ(cv::norm(out(above), photo(above), cv::NORM_INF), 0) << file;
}

TEST_F(Annotation, EveryDetectionOfAGroupAndNoChosenFace) {
    const std::string file = "group_assets_demoImage_resized_1213x426.jpg";
    const cv::Mat out = Annotate(file);
    // The four faces of the reference.
    for (const cv::Rect r : {cv::Rect(662, 104, 185, 185), cv::Rect(59, 105, 193, 193),
                             cv::Rect(980, 113, 165, 165), cv::Rect(365, 136, 174, 174)}) {
        EXPECT_EQ(out.at<cv::Vec3b>(r.y, r.x + r.width / 2), Bgr(marks::kDetection)) << file << r;
    }
}

TEST(AnnotatePhoto, NothingToDrawOnGivesNothing) {
    AuditDetails details;
    EXPECT_TRUE(AnnotatePhoto(cv::Mat(), details).empty());
    EXPECT_TRUE(AnnotatePhoto(cv::Mat(10, 10, CV_8UC1, cv::Scalar(0)), details).empty());
}

}  // namespace
