#include <filesystem>
#include <fstream>

#include <sys/stat.h>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/PhotoAudit.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

struct ChoiceCase {
    const char* what;
    std::vector<cv::Rect> faces;
    std::optional<cv::Rect> chosen;
};

void PrintTo(const ChoiceCase& c, std::ostream* os) { *os << c.what; }

class FaceChoice : public testing::TestWithParam<ChoiceCase> {};

TEST_P(FaceChoice, Rule) { EXPECT_EQ(ChoosePortraitFace(GetParam().faces), GetParam().chosen); }

INSTANTIATE_TEST_SUITE_P(
    Counts, FaceChoice,
    testing::Values(
        ChoiceCase{"none", {}, std::nullopt},
        ChoiceCase{"one", {{5, 6, 70, 70}}, cv::Rect(5, 6, 70, 70)},
        ChoiceCase{"two, wider second", {{0, 0, 100, 100}, {200, 0, 120, 120}},
                   cv::Rect(200, 0, 120, 120)},
        ChoiceCase{"two, wider first", {{0, 0, 120, 120}, {200, 0, 100, 100}},
                   cv::Rect(0, 0, 120, 120)},
        ChoiceCase{"two of equal width: the second", {{0, 0, 100, 90}, {200, 0, 100, 130}},
                   cv::Rect(200, 0, 100, 130)},
        ChoiceCase{"three, however large one is",
                   {{0, 0, 60, 60}, {100, 0, 900, 900}, {0, 100, 60, 60}}, std::nullopt}));

// The size rung measures the file, not the pixels: any content of the right length will do.
std::string FileOfLength(const TempDir& dir, std::size_t length) {
    const std::string path = dir.file("photo.jpg");
    WriteBytes(path, std::vector<std::uint8_t>(length, 0));
    return path;
}

// Runs the ladder from rung 3 on a plain white photo: anything but BadSize means the size rung
// passed.
int SizeVerdict(int cols, int rows, std::size_t length) {
    TempDir dir;
    const cv::Mat photo(rows, cols, CV_8UC3, cv::Scalar(255, 255, 255));
    RecordingAudit audit;
    audit.m_strPath = FileOfLength(dir, length);
    audit.JudgePhoto(cv::Rect(10, 100, 100, 100), photo);
    return audit.m_nState;
}

TEST(SizeRung, Boundaries) {
    EXPECT_NE(SizeVerdict(215, 300, 30720), BadSize) << "the smallest accepted photo";
    EXPECT_EQ(SizeVerdict(215, 300, 30719), BadSize) << "one byte short";
    EXPECT_EQ(SizeVerdict(214, 300, 300000), BadSize) << "one column short";
    EXPECT_EQ(SizeVerdict(215, 299, 300000), BadSize) << "one row short";
    EXPECT_EQ(SizeVerdict(300, 215, 300000), BadSize) << "landscape 300 x 215";
}

TEST(SizeRung, FileThatCannotBeMeasuredCountsAsEmpty) {
    const cv::Mat photo(400, 300, CV_8UC3, cv::Scalar(255, 255, 255));
    RecordingAudit audit;
    audit.m_strPath = "/nonexistent/vetrix/photo.jpg";
    audit.JudgePhoto(cv::Rect(10, 100, 100, 100), photo);
    EXPECT_EQ(audit.m_nState, BadSize);
    EXPECT_EQ(GetPhotoFileLength("/nonexistent/vetrix/photo.jpg"), 0u);
}

TEST(Verdict, OneLineOneRepaintAndTheButtonOnlyOnPassed) {
    TempDir dir;
    RecordingAudit audit;
    audit.m_strFileName = "100% 照片.jpg";
    audit.AuditPhoto(cv::Mat());
    EXPECT_EQ(audit.m_nState, BadFormat);
    ASSERT_EQ(audit.lines.size(), 1u);
    EXPECT_EQ(audit.lines[0], "100% 照片.jpg文件格式不符合要求！\r\n");
    EXPECT_TRUE(audit.saveButton.empty());
    EXPECT_EQ(audit.repaints, 1);

    ASSERT_TRUE(audit.LoadFaceCascade());
    audit.AuditFile(TestData("pass_red_test2_295x413.jpg"), "pass.jpg");
    EXPECT_EQ(audit.m_nState, Passed);
    ASSERT_EQ(audit.lines.size(), 2u);
    EXPECT_EQ(audit.lines[1], "pass.jpg图像审核成功！\r\n");
    EXPECT_EQ(audit.saveButton, std::vector<bool>{true});
    EXPECT_EQ(audit.repaints, 2);
    EXPECT_EQ(audit.m_matResult.size(), cv::Size(268, 375));
}

TEST(Verdict, RejectionKeepsTheLastNormalisedPhoto) {
    RecordingAudit audit;
    ASSERT_TRUE(audit.LoadFaceCascade());
    audit.AuditFile(TestData("pass_red_test2_295x413.jpg"), "a.jpg");
    ASSERT_EQ(audit.m_nState, Passed);
    const uchar* kept = audit.m_matResult.data;
    audit.AuditFile(TestData("bg_green_test3.jpg"), "b.jpg");
    EXPECT_EQ(audit.m_nState, BadBackground);
    EXPECT_EQ(audit.m_matResult.data, kept);
    EXPECT_FALSE(audit.m_details.crop);
}

TEST(Verdict, WithoutACascadeEveryDecodablePhotoHasNoSinglePortrait) {
    RecordingAudit audit;
    audit.m_strCascadeFile = "no-such-cascade.xml";
    audit.m_strSystemCascadeFile = "";
    EXPECT_FALSE(audit.LoadFaceCascade());
    EXPECT_TRUE(audit.m_faceCascade.empty());
    audit.AuditFile(TestData("pass_red_test2_295x413.jpg"), "a.jpg");
    EXPECT_EQ(audit.m_nState, NoSinglePortrait);
    audit.AuditFile(TestData("bad_truncated_headers_only_blue_test1.jpg"), "b.jpg");
    EXPECT_EQ(audit.m_nState, BadFormat);
}

TEST(Verdict, DamagedCascadeFallsBackToTheInstalledOne) {
    TempDir dir;
    const std::string broken = dir.file("haarcascade_frontalface_alt2.xml");
    WriteBytes(broken, {'<', 'x', 'm', 'l'});
    RecordingAudit audit;
    audit.m_strCascadeFile = broken;
    EXPECT_TRUE(audit.LoadFaceCascade());
    audit.m_strSystemCascadeFile = "";
    EXPECT_FALSE(audit.LoadFaceCascade());
}

TEST(FaceCascadeLookup, WorkingDirectoryFirstThenTheInstalledCopy) {
    TempDir dir;
    const std::string local = dir.file("cascade.xml");
    WriteBytes(local, {'x'});
    EXPECT_EQ(FindFaceCascade(local, "/usr/share/x.xml"), local);
    EXPECT_EQ(FindFaceCascade(dir.file("missing.xml"), local), local);
    EXPECT_EQ(FindFaceCascade(dir.file("missing.xml"), dir.file("also-missing.xml")), "");
    EXPECT_NE(std::string(SystemFaceCascade()), "") << "opencv-data is not installed";
}

TEST(Detection, SmallFacesAreNotFoundAndTheOrderIsFixed) {
    cv::CascadeClassifier cascade(FindFaceCascade());
    ASSERT_FALSE(cascade.empty());
    const cv::Mat group = cv::imread(TestData("group_assets_demoImage_resized_1213x426.jpg"));
    ASSERT_FALSE(group.empty());
    const std::vector<cv::Rect> first = DetectFaces(cascade, group);
    ASSERT_EQ(first.size(), 4u);
    EXPECT_TRUE(std::is_sorted(first.begin(), first.end(), [](const cv::Rect& a, const cv::Rect& b) {
        return std::tie(a.y, a.x, a.width, a.height) < std::tie(b.y, b.x, b.width, b.height);
    }));
    for (const cv::Rect& face : first) {
        EXPECT_GE(face.width, 60);
    }
    for (int run = 0; run < 5; ++run) {
        EXPECT_EQ(DetectFaces(cascade, group), first) << "run " << run;
    }
    // A portrait whose face is found at about 134 pixels wide, shrunk to put it under 60.
    const cv::Mat portrait = cv::imread(TestData("pass_red_test2_295x413.jpg"));
    ASSERT_EQ(DetectFaces(cascade, portrait).size(), 1u);
    cv::Mat small;
    cv::resize(portrait, small, cv::Size(), 0.4, 0.4, cv::INTER_AREA);
    EXPECT_TRUE(DetectFaces(cascade, small).empty()) << "a face under 60 x 60 was found";
    EXPECT_TRUE(DetectFaces(cascade, cv::Mat()).empty());
    cv::CascadeClassifier none;
    EXPECT_TRUE(DetectFaces(none, group).empty());
}

// Every file a user can pick ends in a verdict: the decoder's failures are BadFormat.
class BadFiles : public testing::Test {
protected:
    int Audit(const std::string& path) {
        audit_.AuditFile(path, fs::path(path).filename().string());
        EXPECT_EQ(audit_.lines.size(), ++expectedLines_) << path;
        return audit_.m_nState;
    }
    void SetUp() override { ASSERT_TRUE(audit_.LoadFaceCascade()); }

    TempDir dir_;
    RecordingAudit audit_;
    std::size_t expectedLines_ = 0;
};

TEST_F(BadFiles, NothingThatDoesNotDecodeGetsFurtherThanBadFormat) {
    const std::string empty = dir_.file("empty.jpg");
    WriteBytes(empty, {});
    EXPECT_EQ(Audit(empty), BadFormat);

    const std::string text = dir_.file("notes.jpg");
    const std::string words(40000, 'x');
    WriteBytes(text, std::vector<std::uint8_t>(words.begin(), words.end()));
    EXPECT_EQ(Audit(text), BadFormat);

    EXPECT_EQ(Audit(TestData("bad_truncated_headers_only_blue_test1.jpg")), BadFormat);
    EXPECT_EQ(Audit(dir_.file("missing.jpg")), BadFormat);

    const std::string folder = dir_.file("x.jpg");
    fs::create_directory(folder);
    EXPECT_EQ(Audit(folder), BadFormat);

    const std::string fifo = dir_.file("pipe.jpg");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(Audit(fifo), BadFormat);
}

TEST_F(BadFiles, HeaderAnnouncingAHugeImageIsTooLargeWithoutDecoding) {
    // A small JPEG whose frame header is patched to claim 60000 x 60000 pixels.
    std::vector<std::uint8_t> bytes;
    cv::imencode(".jpg", cv::Mat(16, 16, CV_8UC3, cv::Scalar(1, 2, 3)), bytes);
    bool patched = false;
    for (std::size_t i = 0; i + 8 < bytes.size(); ++i) {
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xC0) {
            bytes[i + 5] = 0xEA, bytes[i + 6] = 0x60;  // height 60000
            bytes[i + 7] = 0xEA, bytes[i + 8] = 0x60;  // width 60000
            patched = true;
            break;
        }
    }
    ASSERT_TRUE(patched);
    const std::string path = dir_.file("huge.jpg");
    WriteBytes(path, bytes);
    EXPECT_EQ(Audit(path), BadSize);
    EXPECT_EQ(audit_.m_details.tooManyPixels, cv::Size(60000, 60000));
}

TEST_F(BadFiles, UnreadableFileIsBadFormat) {
    const std::string path = dir_.file("locked.jpg");
    fs::copy_file(TestData("pass_red_test2_295x413.jpg"), path);
    fs::permissions(path, fs::perms::none);
    OpenToOthers(dir_.path());
    EXPECT_TRUE(RunUnprivileged([&] {
        audit_.AuditFile(path, "locked.jpg");
        return audit_.m_nState == BadFormat;
    }));
}

TEST_F(BadFiles, OtherImageFormatsUnderAJpgNameAreAuditedLikeAnyPhoto) {
    EXPECT_EQ(Audit(TestData("fmt_bmp_content_named_jpg_red_test4.jpg")), Passed);
    // Not a valid UTF-8 name: audited all the same, and logged with a replacement character.
    const std::string odd = dir_.file("ph\xff\xfeoto.jpg");
    fs::copy_file(TestData("pass_red_test2_295x413.jpg"), odd);
    audit_.AuditFile(odd, DisplayFileName(odd));
    ++expectedLines_;
    EXPECT_EQ(audit_.m_nState, Passed);
    EXPECT_EQ(audit_.lines.back(), "ph\xEF\xBF\xBD\xEF\xBF\xBDoto.jpg图像审核成功！\r\n");
}

TEST(Utf8, InvalidSequencesAreReplaced) {
    EXPECT_EQ(ToValidUtf8("照片.jpg"), "照片.jpg");
    EXPECT_EQ(ToValidUtf8("a\xC3"), "a\xEF\xBF\xBD");              // cut short
    EXPECT_EQ(ToValidUtf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // overlong
    EXPECT_EQ(ToValidUtf8("\xED\xA0\x80"),
              "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
    EXPECT_EQ(ToValidUtf8("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(DisplayFileName("/a/b/证件照 100%.jpg"), "证件照 100%.jpg");
}

}  // namespace
