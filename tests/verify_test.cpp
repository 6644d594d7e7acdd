#include <filesystem>
#include <map>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/Export.h"
#include "engine/PhotoAudit.h"
#include "engine/Verify.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

class VerifyTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        cascade_ = new cv::CascadeClassifier(FindFaceCascade("", SystemFaceCascade()));
        ASSERT_FALSE(cascade_->empty()) << "install opencv-data";
    }
    static void TearDownTestSuite() { delete cascade_; }

    static VerifyOutcome Outcome(const Bytes& bytes) {
        return VerifySavedPhoto(bytes.data(), bytes.size(), *cascade_).outcome;
    }

    static Bytes Saved() { return ReadBytes(TestData("expected-saved/pass_red_test2_295x413.jpg")); }

    // The photo inside a saved file, as any decoder sees it.
    static cv::Mat Pixels(const Bytes& saved) {
        return cv::imdecode(saved, cv::IMREAD_COLOR);
    }

    static Bytes Encode(const cv::Mat& image, const std::string& ext, std::vector<int> params = {}) {
        Bytes bytes;
        EXPECT_TRUE(cv::imencode(ext, image, bytes, params));
        return bytes;
    }

    static Bytes WithTrailer(Bytes bytes) {
        const auto trailer = MakePhotoTrailer();
        bytes.insert(bytes.end(), trailer.begin(), trailer.end());
        return bytes;
    }

    // Where the segment with marker `code` starts (its FF byte); the test fails without one.
    static std::size_t Segment(const Bytes& jpeg, std::uint8_t code) {
        for (std::size_t i = 2; i + 3 < jpeg.size(); ++i) {
            if (jpeg[i] == 0xFF && jpeg[i + 1] == code) {
                return i;
            }
        }
        ADD_FAILURE() << "no marker " << int(code);
        return 0;
    }

    // The first byte of the compressed picture data, just after the scan header.
    static std::size_t ScanData(const Bytes& jpeg) {
        const std::size_t sos = Segment(jpeg, 0xDA);
        return sos + 2 + (jpeg[sos + 2] << 8 | jpeg[sos + 3]);
    }

    static cv::CascadeClassifier* cascade_;
};

cv::CascadeClassifier* VerifyTest::cascade_ = nullptr;

TEST_F(VerifyTest, EverySavedReferencePhotoVerifies) {
    for (const auto& entry : fs::directory_iterator(TestData("expected-saved"))) {
        const Bytes bytes = ReadBytes(entry.path().string());
        const VerifyResult result = VerifySavedPhoto(bytes.data(), bytes.size(), *cascade_);
        EXPECT_EQ(VerifyOutcomeName(result.outcome), std::string("Verified")) << entry.path();
        EXPECT_FALSE(result.faces.empty()) << entry.path();
    }
}

TEST_F(VerifyTest, WhatThisBuildSavesVerifiesAndDecodesAsOpenCvDecodesIt) {
    for (const char* name : {"pass_red_test2_295x413.jpg", "pass_white_test1_358x441.jpg",
                             "pass_red_test4_240x320.jpg"}) {
        RecordingAudit audit;
        audit.m_strCascadeFile.clear();
        ASSERT_TRUE(audit.LoadFaceCascade());
        audit.AuditFile(TestData(name), name);
        ASSERT_EQ(audit.m_nState, Passed) << name;
        const Bytes saved = EncodeApprovedPhoto(audit.m_matResult);
        const VerifyResult result = VerifySavedPhoto(saved.data(), saved.size(), *cascade_);
        EXPECT_EQ(result.outcome, VerifyOutcome::Verified) << name;
        EXPECT_EQ(result.width, audit.m_matResult.cols) << name;
        EXPECT_EQ(result.height, audit.m_matResult.rows) << name;

        // The faces verification reports are those the audit's detector finds in the decoded
        // photo, so the strict decoder must give the very pixels OpenCV gives.
        const cv::Mat strict = DecodeStrictJpeg(saved.data(), saved.size() - 10);
        ASSERT_FALSE(strict.empty()) << name;
        EXPECT_EQ(cv::norm(strict, Pixels(saved), cv::NORM_INF), 0) << name;
    }
}

TEST_F(VerifyTest, TheTrailerMustEndTheFile) {
    Bytes cut = Saved();
    cut.pop_back();
    EXPECT_EQ(Outcome(cut), VerifyOutcome::NoTrailer) << "last byte cut";
    cut.resize(cut.size() - 9);
    EXPECT_EQ(Outcome(cut), VerifyOutcome::NoTrailer) << "whole trailer cut";

    Bytes appended = Saved();
    appended.insert(appended.end(), {'e', 'x', 't', 'r', 'a'});
    EXPECT_EQ(Outcome(appended), VerifyOutcome::NoTrailer) << "data after the trailer";

    EXPECT_EQ(Outcome({}), VerifyOutcome::NoTrailer) << "empty file";
    const auto trailer = MakePhotoTrailer();
    EXPECT_EQ(Outcome(Bytes(trailer.begin(), trailer.end())), VerifyOutcome::NotJpeg)
        << "the trailer alone";
}

TEST_F(VerifyTest, AnythingButOneCleanJpegBeforeTheTrailerIsNotJpeg) {
    const Bytes saved = Saved();
    const Bytes jpeg(saved.begin(), saved.end() - 10);

    EXPECT_EQ(Outcome(WithTrailer(Encode(Pixels(saved), ".png"))), VerifyOutcome::NotJpeg)
        << "a PNG with the trailer";

    // A byte inverted at the start of the picture data breaks its Huffman coding. (A flip of
    // a coefficient's amplitude bits further on often decodes cleanly: see Verify.h.)
    Bytes flipped = saved;
    flipped[ScanData(saved)] ^= 0xFF;
    EXPECT_EQ(Outcome(flipped), VerifyOutcome::NotJpeg) << "byte flipped inside the JPEG";

    Bytes gap = jpeg;
    gap.insert(gap.end(), {0, 1, 2});
    EXPECT_EQ(Outcome(WithTrailer(gap)), VerifyOutcome::NotJpeg) << "data before the trailer";

    Bytes twice = jpeg;
    twice.insert(twice.end(), jpeg.begin(), jpeg.end());
    EXPECT_EQ(Outcome(WithTrailer(twice)), VerifyOutcome::NotJpeg) << "two JPEG streams";

    Bytes truncated(jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() * 3 / 4));
    truncated.insert(truncated.end(), {0xFF, 0xD9});
    EXPECT_EQ(Outcome(WithTrailer(truncated)), VerifyOutcome::NotJpeg)
        << "picture data cut short, end marker kept";
}

TEST_F(VerifyTest, OnlyTheSizesTheNormalisationMakesPass) {
    const cv::Mat photo = Pixels(Saved());
    const std::vector<int> q50{cv::IMWRITE_JPEG_QUALITY, 50};

    cv::Mat resized;
    cv::resize(photo, resized, cv::Size(300, 420), 0, 0, cv::INTER_AREA);
    EXPECT_EQ(Outcome(WithTrailer(Encode(resized, ".jpg", q50))), VerifyOutcome::WrongSize)
        << "resized to 300 x 420";

    const cv::Mat cropped = photo(cv::Rect(0, 0, photo.cols, photo.rows - 10)).clone();
    EXPECT_EQ(Outcome(WithTrailer(Encode(cropped, ".jpg", q50))), VerifyOutcome::WrongSize)
        << "cropped by 10 rows";

    cv::Mat rotated;
    cv::rotate(photo, rotated, cv::ROTATE_90_CLOCKWISE);
    EXPECT_EQ(Outcome(WithTrailer(Encode(rotated, ".jpg", q50))), VerifyOutcome::WrongSize);

    // Both ends of the range and the truncation of 1.4 x width: 215 x 301 and 294 x 411 are
    // sizes the normalisation writes (1.4 x 294 = 411.6); 294 x 412 is not.
    cv::Mat scaled;
    for (const auto& [size, expected] :
         std::vector<std::pair<cv::Size, VerifyOutcome>>{{{215, 301}, VerifyOutcome::Verified},
                                                         {{294, 411}, VerifyOutcome::Verified},
                                                         {{294, 412}, VerifyOutcome::WrongSize},
                                                         {{214, 299}, VerifyOutcome::WrongSize},
                                                         {{296, 414}, VerifyOutcome::WrongSize}}) {
        cv::resize(photo, scaled, size, 0, 0, cv::INTER_AREA);
        EXPECT_EQ(VerifyOutcomeName(Outcome(WithTrailer(Encode(scaled, ".jpg", q50)))),
                  std::string(VerifyOutcomeName(expected)))
            << size;
    }
}

TEST_F(VerifyTest, AFlippedByteInTheHeadersIsCaughtByTheRungThatReadsIt) {
    Bytes table = Saved();
    table[Segment(table, 0xDB) + 10] ^= 0x01;  // one value of the first quantisation table
    EXPECT_EQ(Outcome(table), VerifyOutcome::Reencoded);

    Bytes width = Saved();
    width[Segment(width, 0xC0) + 8] ^= 0x01;  // low byte of the width in the frame header
    // 268 columns become 269: still 17 blocks of 16 wide, so the data decodes, at a size the
    // normalisation never writes.
    EXPECT_EQ(Outcome(width), VerifyOutcome::WrongSize);
}

TEST_F(VerifyTest, AnotherQualityOrAGreyEncodingIsReencoded) {
    const cv::Mat photo = Pixels(Saved());
    EXPECT_EQ(Outcome(WithTrailer(Encode(photo, ".jpg", {cv::IMWRITE_JPEG_QUALITY, 75}))),
              VerifyOutcome::Reencoded);
    EXPECT_EQ(Outcome(WithTrailer(Encode(photo, ".jpg", {cv::IMWRITE_JPEG_QUALITY, 49}))),
              VerifyOutcome::Reencoded);
    cv::Mat grey;
    cv::cvtColor(photo, grey, cv::COLOR_BGR2GRAY);
    EXPECT_EQ(Outcome(WithTrailer(Encode(grey, ".jpg", {cv::IMWRITE_JPEG_QUALITY, 50}))),
              VerifyOutcome::Reencoded);
    // Quality 50 written again by the same encoder cannot be told from the original.
    EXPECT_EQ(Outcome(WithTrailer(Encode(photo, ".jpg", {cv::IMWRITE_JPEG_QUALITY, 50}))),
              VerifyOutcome::Verified);
}

TEST_F(VerifyTest, ASidewaysFaceCountsAsTheAuditAcceptedIt) {
    // The audit accepts this landscape photo by a face lying on its side; the detector finds
    // none upright in the normalised crop, only after a quarter turn.
    const Bytes saved =
        ReadBytes(TestData("expected-saved/orient_sideways_no_exif_blue_test2_579x413.jpg"));
    const VerifyResult result = VerifySavedPhoto(saved.data(), saved.size(), *cascade_);
    EXPECT_EQ(result.outcome, VerifyOutcome::Verified);
    EXPECT_NE(result.turn, 0);
    EXPECT_EQ(VerifySavedPhoto(Saved().data(), Saved().size(), *cascade_).turn, 0);
}

TEST_F(VerifyTest, APhotoWithoutAFaceIsNoFace) {
    cv::Mat plain(413, 295, CV_8UC3, cv::Scalar(200, 40, 30));
    cv::circle(plain, {147, 200}, 60, cv::Scalar(90, 120, 180), cv::FILLED);
    EXPECT_EQ(Outcome(WithTrailer(Encode(plain, ".jpg", {cv::IMWRITE_JPEG_QUALITY, 50}))),
              VerifyOutcome::NoFace);
}

TEST_F(VerifyTest, AHeaderClaimingAHugeImageIsAnsweredWithoutDecoding) {
    Bytes bomb = Saved();
    // The frame header (FF C0, length, precision, then height and width) claims 30000 x 30000.
    for (std::size_t i = 2; i + 9 < bomb.size(); ++i) {
        if (bomb[i] == 0xFF && bomb[i + 1] == 0xC0) {
            bomb[i + 5] = bomb[i + 7] = 30000 >> 8;
            bomb[i + 6] = bomb[i + 8] = 30000 & 0xFF;
            break;
        }
    }
    const VerifyResult result = VerifySavedPhoto(bomb.data(), bomb.size(), *cascade_);
    EXPECT_EQ(result.outcome, VerifyOutcome::WrongSize);
    EXPECT_EQ(result.width, 30000);
}

}  // namespace
