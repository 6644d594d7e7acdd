// Reading photos: the pixel limit taken from the header before decoding (bombs), the formats
// accepted, and libjpeg's warnings kept with their photo.

#include <cstdio>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <png.h>

#include "engine/PhotoAudit.h"
#include "test_support.h"

namespace {

static_assert(12000ull * 9000 <= kDefaultMaxPixels, "a 108 MP phone photo must still audit");
static_assert(30000ull * 30000 > kDefaultMaxPixels, "the bombs below must be refused");

// A small JPEG whose frame header (SOF0) is patched to claim `width` x `height`; libjpeg would
// fill every missing row with grey, so decoding it costs what the header says.
std::string JpegClaiming(const TempDir& dir, int width, int height) {
    std::vector<std::uint8_t> bytes;
    cv::imencode(".jpg", cv::Mat(16, 16, CV_8UC3, cv::Scalar(90, 120, 200)), bytes);
    for (std::size_t i = 0; i + 8 < bytes.size(); ++i) {
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xC0) {
            bytes[i + 5] = static_cast<std::uint8_t>(height >> 8);
            bytes[i + 6] = static_cast<std::uint8_t>(height & 0xFF);
            bytes[i + 7] = static_cast<std::uint8_t>(width >> 8);
            bytes[i + 8] = static_cast<std::uint8_t>(width & 0xFF);
            const std::string path = dir.file("bomb.jpg");
            WriteBytes(path, bytes);
            return path;
        }
    }
    ADD_FAILURE() << "no SOF0 marker in the encoded JPEG";
    return {};
}

// A real, valid PNG of `side` x `side` black pixels, one bit each, written row by row; it
// deflates from about a thousandth of its raw size, and decodes to 3 bytes a pixel.
std::string PngBomb(const TempDir& dir, std::uint32_t side) {
    const std::string path = dir.file("bomb.png");
    std::FILE* fp = std::fopen(path.c_str(), "wb");
    if (fp == nullptr) {
        ADD_FAILURE() << "cannot create " << path;
        return {};
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_write_struct(&png, &info);
        std::fclose(fp);
        ADD_FAILURE() << "libpng failed writing " << path;
        return {};
    }
    png_init_io(png, fp);
    png_set_IHDR(png, info, side, side, 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, 9);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_write_info(png, info);
    const std::vector<png_byte> row((side + 7) / 8, 0);
    for (std::uint32_t y = 0; y < side; ++y) {
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(fp);
    return path;
}

// A BMP whose header claims `width` x `height` (negative: rows stored top down).
std::string BmpClaiming(const TempDir& dir, std::int32_t width, std::int32_t height) {
    std::vector<std::uint8_t> bytes;
    cv::imencode(".bmp", cv::Mat(16, 16, CV_8UC3, cv::Scalar(90, 120, 200)), bytes);
    for (int i = 0; i < 4; ++i) {
        bytes[18 + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(width) >> (8 * i));
        bytes[22 + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(height) >> (8 * i));
    }
    const std::string path = dir.file("bomb.bmp");
    WriteBytes(path, bytes);
    return path;
}

TEST(PixelLimit, BombsAreRefusedFromTheirHeaderAsBadSize) {
    TempDir dir;
    const struct {
        const char* what;
        std::string path;
        cv::Size declared;
    } bombs[] = {
        {"JPEG with a patched SOF", JpegClaiming(dir, 30000, 30000), {30000, 30000}},
        {"deflate-bomb PNG", PngBomb(dir, 30000), {30000, 30000}},
        {"BMP", BmpClaiming(dir, 30000, 30000), {30000, 30000}},
        {"BMP stored top down", BmpClaiming(dir, 30000, -30000), {30000, 30000}},
    };
    for (const auto& bomb : bombs) {
        SCOPED_TRACE(bomb.what);
        EXPECT_LT(GetPhotoFileLength(bomb.path), 200'000u) << "the bomb must be small";
        EXPECT_EQ(ReadPhotoHeaderSize(bomb.path), bomb.declared);
        const DecodedPhoto photo = ReadPhoto(bomb.path);
        EXPECT_EQ(photo.status, DecodeStatus::TooManyPixels);
        EXPECT_TRUE(photo.image.empty());

        RecordingAudit audit;
        audit.AuditFile(bomb.path, "bomb");
        EXPECT_EQ(audit.m_nState, BadSize);
        EXPECT_EQ(audit.lines, std::vector<std::string>{std::string("bomb") + ResultMessage(BadSize) + "\r\n"});
        EXPECT_EQ(audit.m_details.tooManyPixels, bomb.declared);
        EXPECT_TRUE(audit.m_details.faces.empty());
    }
}

TEST(PixelLimit, IsPerAuditAndInclusive) {
    // 295 x 413 = 121 835 pixels.
    const std::string path = TestData("pass_red_test2_295x413.jpg");
    RecordingAudit audit;
    ASSERT_TRUE(audit.LoadFaceCascade());
    audit.m_nMaxPixels = 121835;
    audit.AuditFile(path, "a.jpg");
    EXPECT_EQ(audit.m_nState, Passed) << "exactly the limit is allowed";
    EXPECT_FALSE(audit.m_details.tooManyPixels);

    audit.m_nMaxPixels = 121834;
    audit.AuditFile(path, "a.jpg");
    EXPECT_EQ(audit.m_nState, BadSize);
    EXPECT_EQ(audit.m_details.tooManyPixels, cv::Size(295, 413));

    // A PNG is measured the same way (480 x 640 = 307 200 pixels).
    TempDir dir;
    const std::string png = dir.file("photo.png");
    ASSERT_TRUE(cv::imwrite(png, cv::Mat(640, 480, CV_8UC3, cv::Scalar::all(255))));
    EXPECT_EQ(ReadPhoto(png, 307200).status, DecodeStatus::Decoded);
    EXPECT_EQ(ReadPhoto(png, 307199).status, DecodeStatus::TooManyPixels);
}

TEST(PixelLimit, TheHeaderSizeIsTheStoredSizeBeforeExifRotation) {
    // Stored 640 wide and 480 high, shown upright as 480 x 640.
    const std::string path = TestData("orient_exif6_stored_sideways_blue_test1_480x640.jpg");
    EXPECT_EQ(ReadPhotoHeaderSize(path), cv::Size(640, 480));
    const DecodedPhoto photo = ReadPhoto(path);
    ASSERT_EQ(photo.status, DecodeStatus::Decoded);
    EXPECT_EQ(photo.image.size(), cv::Size(480, 640));
}

TEST(Formats, OnlyJpegPngAndBmpAreDecodedWhateverTheName) {
    TempDir dir;
    const cv::Mat image(40, 30, CV_8UC3, cv::Scalar(10, 200, 30));
    for (const char* accepted : {".jpg", ".png", ".bmp"}) {
        const std::string path = dir.file(std::string("photo") + accepted + ".txt");
        std::vector<std::uint8_t> bytes;
        ASSERT_TRUE(cv::imencode(accepted, image, bytes));
        WriteBytes(path, bytes);
        const DecodedPhoto photo = ReadPhoto(path);
        EXPECT_EQ(photo.status, DecodeStatus::Decoded) << accepted;
        EXPECT_EQ(photo.image.size(), cv::Size(30, 40)) << accepted;
        EXPECT_EQ(photo.image.type(), CV_8UC3) << accepted;
    }
    // OpenCV reads these too, but they cannot be measured before decoding.
    for (const char* refused : {".tiff", ".webp", ".ppm", ".ras"}) {
        std::vector<std::uint8_t> bytes;
        ASSERT_TRUE(cv::imencode(refused, image, bytes)) << refused;
        const std::string path = dir.file(std::string("photo") + refused);
        WriteBytes(path, bytes);
        EXPECT_FALSE(cv::imread(path).empty()) << refused << " should decode in OpenCV";
        EXPECT_EQ(ReadPhoto(path).status, DecodeStatus::NotAnImage) << refused;
        EXPECT_FALSE(ReadPhotoHeaderSize(path)) << refused;
    }
    for (const char* damaged : {"", "\xFF\xD8\xFF", "\x89PNG\r\n\x1A\n", "BM"}) {
        const std::string path = dir.file("damaged.jpg");
        WriteBytes(path, std::vector<std::uint8_t>(damaged, damaged + std::strlen(damaged)));
        EXPECT_EQ(ReadPhoto(path).status, DecodeStatus::NotAnImage);
        EXPECT_FALSE(ReadPhotoHeaderSize(path));
    }
}

// Runs `body` with the process's stderr sent to a file; returns what was written to it.
template <typename Body>
std::string StderrDuring(const TempDir& dir, Body body) {
    const std::string file = dir.file("stderr.txt");
    std::fflush(stderr);
    const int saved = ::dup(2);
    const int capture = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(capture, 2);
    ::close(capture);
    body();
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    return ReadText(file);
}

TEST(Warnings, LibjpegsWarningsStayWithTheirPhoto) {
    TempDir dir;
    const std::string truncated = TestData("bad_truncated_half_red_test3_1050x1470.jpg");
    const std::string clean = TestData("pass_red_test2_295x413.jpg");
    RecordingAudit audit;
    ASSERT_TRUE(audit.LoadFaceCascade());
    const std::string printed = StderrDuring(dir, [&] {
        audit.AuditFile(truncated, "t.jpg");
        EXPECT_EQ(audit.m_nState, Passed);
        EXPECT_EQ(audit.m_details.warnings,
                  std::vector<std::string>{"Premature end of JPEG file"});
        audit.AuditFile(clean, "c.jpg");
        EXPECT_TRUE(audit.m_details.warnings.empty());
    });
#ifdef __linux__
    EXPECT_EQ(printed, "") << "libjpeg's warning went to stderr";
#endif

    // Each thread's photo gets its own warnings, and only those.
    std::vector<std::string> fromTruncated;
    std::vector<std::string> fromClean;
    {
        std::thread a([&] {
            for (int i = 0; i < 3; ++i) {
                fromTruncated = ReadPhoto(truncated).warnings;
            }
        });
        std::thread b([&] {
            for (int i = 0; i < 20; ++i) {
                const std::vector<std::string> w = ReadPhoto(clean).warnings;
                fromClean.insert(fromClean.end(), w.begin(), w.end());
            }
        });
        a.join();
        b.join();
    }
    EXPECT_EQ(fromTruncated, std::vector<std::string>{"Premature end of JPEG file"});
    EXPECT_TRUE(fromClean.empty());
}

TEST(Warnings, OtherLibjpegUsersStillPrintTheirs) {
    // Outside ReadPhoto, libjpeg keeps its own behaviour: OpenCV's decoder called directly
    // prints the warning to stderr as before.
    TempDir dir;
    const std::string printed = StderrDuring(dir, [] {
        EXPECT_FALSE(cv::imread(TestData("bad_truncated_half_red_test3_1050x1470.jpg")).empty());
    });
    EXPECT_NE(printed.find("Premature end of JPEG file"), std::string::npos) << printed;
}

}  // namespace
