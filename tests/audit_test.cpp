#include <filesystem>
#include <fstream>
#include <functional>
#include <new>
#include <thread>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

// Runs the ladder from rung 3 on a plain white photo from a file of `length` bytes: anything
// but BadSize means the size rung passed.
int SizeVerdict(int cols, int rows, std::uint64_t length) {
    const cv::Mat photo(rows, cols, CV_8UC3, cv::Scalar(255, 255, 255));
    return JudgePortrait(cv::Rect(10, 100, 100, 100), photo, length).state;
}

TEST(SizeRung, Boundaries) {
    EXPECT_NE(SizeVerdict(215, 300, 30720), BadSize) << "the smallest accepted photo";
    EXPECT_EQ(SizeVerdict(215, 300, 30719), BadSize) << "one byte short";
    EXPECT_EQ(SizeVerdict(214, 300, 300000), BadSize) << "one column short";
    EXPECT_EQ(SizeVerdict(215, 299, 300000), BadSize) << "one row short";
    EXPECT_EQ(SizeVerdict(300, 215, 300000), BadSize) << "landscape 300 x 215";
}

TEST(SizeRung, CountsTheBytesOfThePhotoAuditedNotOfAnEarlierFile) {
    // A large file passes first; a decoded photo audited next, from 30 719 bytes, must not be
    // measured by the earlier file.
    RecordingAudit& audit = LoadedAudit();
    ASSERT_FALSE(audit.AuditFile(TestData("pass_red_test2_295x413.jpg"), "a.jpg"));
    ASSERT_EQ(audit.m_nState, Passed);
    ASSERT_GT(std::filesystem::file_size(TestData("pass_red_test2_295x413.jpg")), 30720u);
    audit.AuditPhoto(cv::imread(TestData("pass_red_test2_295x413.jpg")), 30719);
    EXPECT_EQ(audit.m_nState, BadSize);
    EXPECT_EQ(audit.m_details.why.cause, WhyCause::FileTooSmall);

    // The bytes handed in are what the rung counts: a photo of exactly 30 720 bytes passes the
    // rung, and without its last byte (a JPEG still decodes without it) it does not.
    const std::vector<std::uint8_t> small = ReadBytes(TestData("size_file_30720_bytes_white_test3.jpg"));
    ASSERT_EQ(small.size(), 30720u);
    const FaceFinder faces = audit.Faces();
    EXPECT_NE(AuditPhotoBytes(small, faces).state, BadSize);
    const std::vector<std::uint8_t> shorter(small.begin(), small.end() - 1);
    EXPECT_EQ(AuditPhotoBytes(shorter, faces).details.why.cause, WhyCause::FileTooSmall);
}

TEST(PhotoFile, AFileThatCannotBeReadHasNoVerdict) {
    TempDir dir;
    RecordingAudit audit;
    ASSERT_TRUE(audit.LoadFaceCascade());
    const struct {
        std::string path;
        std::errc error;
    } cases[] = {
        {dir.file("missing.jpg"), std::errc::no_such_file_or_directory},
        {dir.path().string(), std::errc::is_a_directory},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(audit.AuditFile(c.path, "x.jpg"), std::make_error_code(c.error));
        EXPECT_EQ(audit.m_nState, Idle);
        EXPECT_TRUE(audit.lines.empty());
    }
}

TEST(Verdict, OneLineOneRepaintAndTheButtonOnlyOnPassed) {
    TempDir dir;
    RecordingAudit audit;
    audit.m_strFileName = "100% 照片.jpg";
    audit.AuditPhoto(cv::Mat(), 0);
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
    // Top to bottom, then left to right (the second face is 1 row lower and far left).
    const std::vector<cv::Rect> expected = {
        {662, 104, 185, 185}, {59, 105, 193, 193}, {980, 113, 165, 165}, {365, 136, 174, 174}};
    for (int run = 0; run < 3; ++run) {
        EXPECT_EQ(DetectFaces(cascade, group), expected) << "run " << run;
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

// Every file that can be read ends in a verdict: the decoder's failures are BadFormat.
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
}

// A name that cannot be read is no photo at all: no verdict, no log line, and the reason.
// (FIFOs and permissions as Linux has them.)
#ifndef _WIN32
TEST_F(BadFiles, WhatCannotBeReadGetsNoVerdict) {
    const std::string folder = dir_.file("x.jpg");
    fs::create_directory(folder);
    const std::string fifo = dir_.file("pipe.jpg");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::string, std::errc> cases[] = {
        {dir_.file("missing.jpg"), std::errc::no_such_file_or_directory},
        {folder, std::errc::is_a_directory},
        {fifo, std::errc::invalid_argument},
    };
    for (const auto& [path, error] : cases) {
        EXPECT_EQ(audit_.AuditFile(path, "x.jpg"), std::make_error_code(error)) << path;
        EXPECT_EQ(audit_.m_nState, Idle) << path;
    }
    EXPECT_TRUE(audit_.lines.empty());

    const std::string locked = dir_.file("locked.jpg");
    fs::copy_file(TestData("pass_red_test2_295x413.jpg"), locked);
    fs::permissions(locked, fs::perms::none);
    OpenToOthers(dir_.path());
    EXPECT_TRUE(RunUnprivileged([&] {
        return audit_.AuditFile(locked, "locked.jpg") ==
                   std::make_error_code(std::errc::permission_denied) &&
               audit_.m_nState == Idle;
    }));
}
#endif

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

TEST_F(BadFiles, OtherImageFormatsUnderAJpgNameAreAuditedLikeAnyPhoto) {
    EXPECT_EQ(Audit(TestData("fmt_bmp_content_named_jpg_red_test4.jpg")), Passed);
#ifndef _WIN32
    // Not a valid UTF-8 name: audited all the same, and logged with a replacement character.
    // (Windows' names are UTF-16, each with a UTF-8 form.)
    const std::string odd = dir_.file("ph\xff\xfeoto.jpg");
    fs::copy_file(TestData("pass_red_test2_295x413.jpg"), odd);
    audit_.AuditFile(odd, DisplayFileName(odd));
    ++expectedLines_;
    EXPECT_EQ(audit_.m_nState, Passed);
    EXPECT_EQ(audit_.lines.back(), "ph\xEF\xBF\xBD\xEF\xBF\xBDoto.jpg图像审核成功！\r\n");
#endif
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

// An audit whose detection step fails on demand.
class FailingAudit : public RecordingAudit {
public:
    enum class Failure { None, OutOfMemory, OpenCv } failure = Failure::None;

    FailingAudit() {
        m_findFaces = [this](const cv::Mat& photo) {
            switch (failure) {
                case Failure::OutOfMemory: throw std::bad_alloc();
                case Failure::OpenCv: CV_Error(cv::Error::StsNoMem, "injected");
                case Failure::None: break;
            }
            return DetectFaces(m_faceCascade, photo);
        };
    }
};

TEST(Failures, AreThrownWithNoVerdictAndNothingOfTheLastAuditKept) {
    FailingAudit audit;
    ASSERT_TRUE(audit.LoadFaceCascade());
    const std::string photo = TestData("pass_red_test2_295x413.jpg");
    audit.AuditFile(photo, "a.jpg");
    ASSERT_EQ(audit.m_nState, Passed);
    const auto lines = audit.lines;
    const auto buttons = audit.saveButton;
    const int repaints = audit.repaints;

    audit.failure = FailingAudit::Failure::OutOfMemory;
    EXPECT_THROW(audit.AuditFile(TestData("bg_green_test3.jpg"), "b.jpg"), std::bad_alloc);
    EXPECT_EQ(audit.m_nState, Idle);
    EXPECT_EQ(audit.m_strFileName, "b.jpg");
    EXPECT_TRUE(audit.m_matResult.empty()) << "the last passed photo could still be saved";
    EXPECT_FALSE(audit.m_details.crop);
    EXPECT_TRUE(audit.m_details.faces.empty());

    audit.failure = FailingAudit::Failure::OpenCv;
    EXPECT_THROW(audit.AuditPhoto(cv::imread(photo), 40000), cv::Exception);
    EXPECT_EQ(audit.m_nState, Idle);
    // No verdict line, button or repaint for either failure.
    EXPECT_EQ(audit.lines, lines);
    EXPECT_EQ(audit.saveButton, buttons);
    EXPECT_EQ(audit.repaints, repaints);

    audit.failure = FailingAudit::Failure::None;
    audit.AuditFile(photo, "a.jpg");
    EXPECT_EQ(audit.m_nState, Passed);
}

// Address-space limits are Linux's.
#ifndef _WIN32
// Runs the detector with the address space capped just above what the process uses once the
// photo is made, so that the grey copy cannot be allocated. Exits 0 when the failure came out
// as an exception, 1 when the detector returned.
[[noreturn]] void DetectWithMemoryCapped() {
    cv::setNumThreads(1);
    cv::CascadeClassifier cascade(FindFaceCascade());
    const cv::Mat photo(3000, 3000, CV_8UC3, cv::Scalar::all(128));
    std::ifstream statm("/proc/self/statm");
    std::uint64_t pages = 0;
    statm >> pages;
    const rlim_t limit = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (4 << 20);
    const rlimit cap{limit, limit};
    if (cascade.empty() || pages == 0 || setrlimit(RLIMIT_AS, &cap) != 0) {
        _exit(2);
    }
    try {
        DetectFaces(cascade, photo);
    } catch (const cv::Exception&) {
        _exit(0);
    } catch (const std::bad_alloc&) {
        _exit(0);
    }
    _exit(1);
}

TEST(DetectionDeathTest, RunningOutOfMemoryIsThrownNotTakenForNoFace) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's shadow memory needs an unlimited address space";
#endif
    // In a freshly started copy of this test binary, free of the threads of earlier tests.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(DetectWithMemoryCapped(), testing::ExitedWithCode(0), "");
}
#endif

// A white photo with a face box whose columns, from row 40 down to the face, have `hair`: the
// head top is row 40 unless `hair` is exactly the colour the head-top fill draws, which then
// counts as background.
cv::Mat PhotoWithHair(const cv::Vec3b& hair) {
    cv::Mat photo(420, 300, CV_8UC3, cv::Scalar::all(255));
    photo(cv::Rect(100, 40, 100, 110)).setTo(cv::Scalar(hair[0], hair[1], hair[2]));
    return photo;
}

// The colour the head-top fill draws from `seed`: the fourth three draws, after the three
// background probes' (as the ladder documents its draws).
cv::Vec3b HeadTopColour(std::uint64_t seed) {
    cv::RNG rng(seed);
    for (int i = 0; i < 9; ++i) {
        static_cast<void>(static_cast<uchar>(rng));
    }
    const auto c0 = static_cast<uchar>(rng);
    const auto c1 = static_cast<uchar>(rng);
    const auto c2 = static_cast<uchar>(rng);
    return {c0, c1, c2};
}

TEST(FillSeed, DecidesTheFillColourAndNothingElseDoes) {
    const cv::Rect face(100, 150, 100, 100);
    const cv::Vec3b drawn = HeadTopColour(kDefaultFillSeed);
    ASSERT_TRUE(drawn[0] < 235 || drawn[1] < 235 || drawn[2] < 235) << "not near the white";
    const cv::Mat photo = PhotoWithHair(drawn);

    // With the default seed the hair has the fill's colour: no head top above the face.
    AuditResult result = JudgePortrait(face, photo, 100000);
    ASSERT_TRUE(result.details.why.framing);
    EXPECT_EQ(result.details.why.cause, WhyCause::HeadTopNotFound);

    // Another seed draws another colour: the head top is the hair's first row.
    AuditOptions other;
    other.fillSeed = 12345;
    ASSERT_NE(HeadTopColour(12345), drawn);
    result = JudgePortrait(face, photo, 100000, other);
    ASSERT_TRUE(result.details.why.framing);
    EXPECT_EQ(result.details.why.framing->headTop, 40);

    // Whatever the thread's generator holds, and whatever came before, the default seed rules,
    // and the thread's generator is left as it was.
    for (const std::uint64_t earlier : {1u, 777u}) {
        cv::theRNG() = cv::RNG(earlier);
        static_cast<void>(JudgePortrait(face, PhotoWithHair({0, 0, 0}), 100000));
        const std::uint64_t before = cv::theRNG().state;
        EXPECT_EQ(JudgePortrait(face, photo, 100000).details.why.cause,
                  WhyCause::HeadTopNotFound) << "after state " << earlier;
        EXPECT_EQ(cv::theRNG().state, before);
    }

    // The window's audits follow the same rule: a second audit is judged as the first.
    RecordingAudit window;
    window.JudgePhoto(face, PhotoWithHair({0, 0, 0}), 100000);
    window.JudgePhoto(face, photo, 100000);
    EXPECT_EQ(window.m_details.why.cause, WhyCause::HeadTopNotFound);
}

}  // namespace
