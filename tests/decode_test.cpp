// Reading photos: the pixel limit taken from the header before decoding (bombs), the formats
// accepted, and libjpeg's warnings kept with their photo.

#include <cstdio>
#include <filesystem>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <png.h>
#include <jpeglib.h>
#include <zlib.h>
#include <opencv2/imgproc.hpp>

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
        EXPECT_LT(std::filesystem::file_size(bomb.path), 200'000u) << "the bomb must be small";
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
    audit.m_options.maxPixels = 121835;
    audit.AuditFile(path, "a.jpg");
    EXPECT_EQ(audit.m_nState, Passed) << "exactly the limit is allowed";
    EXPECT_FALSE(audit.m_details.tooManyPixels);

    audit.m_options.maxPixels = 121834;
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

// Little-endian fields of an encoded file, for patching headers.
std::uint32_t GetLE(const std::vector<std::uint8_t>& b, std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        v = (v << 8) | b.at(at + static_cast<std::size_t>(i));
    }
    return v;
}

void PutLE(std::vector<std::uint8_t>& b, std::size_t at, int bytes, std::uint32_t v) {
    for (int i = 0; i < bytes; ++i) {
        b.at(at + static_cast<std::size_t>(i)) = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

// A small TIFF from OpenCV (one strip) whose first directory is patched to claim `width` x
// `height` in a single strip: a valid header, about 1 KB, that a decoder would honour by
// allocating the whole image.
std::string TiffClaiming(const TempDir& dir, std::uint32_t width, std::uint32_t height) {
    std::vector<std::uint8_t> b;
    cv::imencode(".tiff", cv::Mat(16, 16, CV_8UC3, cv::Scalar(90, 120, 200)), b);
    if (b.size() < 8 || b[0] != 'I' || b[1] != 'I') {
        ADD_FAILURE() << "OpenCV did not write a little-endian TIFF";
        return {};
    }
    const std::size_t ifd = GetLE(b, 4, 4);
    const std::uint32_t entries = GetLE(b, ifd, 2);
    int patched = 0;
    for (std::uint32_t i = 0; i < entries; ++i) {
        const std::size_t entry = ifd + 2 + 12 * i;
        const std::uint32_t tag = GetLE(b, entry, 2);
        // ImageWidth, ImageLength and RowsPerStrip, rewritten as one LONG each.
        if (tag == 256 || tag == 257 || tag == 278) {
            PutLE(b, entry + 2, 2, 4);
            PutLE(b, entry + 4, 4, 1);
            PutLE(b, entry + 8, 4, tag == 256 ? width : height);
            ++patched;
        }
    }
    EXPECT_EQ(patched, 3) << "the TIFF lacks a size tag";
    const std::string path = dir.file("bomb.tiff");
    WriteBytes(path, b);
    return path;
}

// A small WebP from OpenCV whose frame header is patched to claim 16383 x 16383 (lossy, a VP8
// key frame: 14-bit sides at bytes 26 and 28) or 16384 x 16384 (lossless, VP8L: 14-bit sides
// less one packed from byte 21); both are the largest the simple format can declare.
std::string WebPClaimingLargest(const TempDir& dir, bool lossless) {
    std::vector<std::uint8_t> b;
    cv::imencode(".webp", cv::Mat(16, 16, CV_8UC3, cv::Scalar(90, 120, 200)), b,
                 {cv::IMWRITE_WEBP_QUALITY, lossless ? 101 : 90});
    const std::string chunk(b.begin() + 12, b.begin() + 16);
    if (lossless) {
        EXPECT_EQ(chunk, "VP8L");
        const std::uint32_t bits = GetLE(b, 21, 4);
        PutLE(b, 21, 4, (bits & 0xF0000000u) | 0x3FFFu | (0x3FFFu << 14));
    } else {
        EXPECT_EQ(chunk, "VP8 ");
        PutLE(b, 26, 2, 16383);
        PutLE(b, 28, 2, 16383);
    }
    const std::string path = dir.file(lossless ? "bomb-lossless.webp" : "bomb-lossy.webp");
    WriteBytes(path, b);
    return path;
}

TEST(PixelLimit, TiffAndWebPBombsAreRefusedFromTheirHeader) {
    static_assert(16383ull * 16383 > kDefaultMaxPixels, "the WebP bombs must be refused");
    if (!DecodesFormat(PhotoFormat::Tiff)) {
        GTEST_SKIP() << "this build does not read TIFF or WebP";
    }
    TempDir dir;
    const struct {
        const char* what;
        std::string path;
        cv::Size declared;
    } bombs[] = {
        {"TIFF", TiffClaiming(dir, 30000, 30000), {30000, 30000}},
        {"lossy WebP", WebPClaimingLargest(dir, false), {16383, 16383}},
        {"lossless WebP", WebPClaimingLargest(dir, true), {16384, 16384}},
    };
    for (const auto& bomb : bombs) {
        SCOPED_TRACE(bomb.what);
        EXPECT_LT(std::filesystem::file_size(bomb.path), 10'000u) << "the bomb must be small";
        EXPECT_EQ(ReadPhotoHeaderSize(bomb.path), bomb.declared);
        const DecodedPhoto photo = ReadPhoto(bomb.path);
        EXPECT_EQ(photo.status, DecodeStatus::TooManyPixels);
        EXPECT_EQ(photo.declaredSize, bomb.declared);
        EXPECT_TRUE(photo.image.empty());

        RecordingAudit audit;
        audit.AuditFile(bomb.path, "bomb");
        EXPECT_EQ(audit.m_nState, BadSize);
        EXPECT_EQ(audit.m_details.tooManyPixels, bomb.declared);
    }
}

TEST(Formats, JpegPngBmpTiffAndWebPAreMeasuredAndDecodedWhateverTheName) {
    TempDir dir;
    const cv::Mat image(40, 30, CV_8UC3, cv::Scalar(10, 200, 30));
    std::vector<std::string> accepted = {".jpg", ".png", ".bmp"};
    if (DecodesFormat(PhotoFormat::Tiff)) {
        accepted.insert(accepted.end(), {".tiff", ".webp"});
    }
    for (const std::string& format : accepted) {
        SCOPED_TRACE(format);
        const std::string path = dir.file("photo" + format + ".txt");
        std::vector<std::uint8_t> bytes;
        ASSERT_TRUE(cv::imencode(format, image, bytes));
        WriteBytes(path, bytes);
        EXPECT_EQ(ReadPhotoHeaderSize(path), cv::Size(30, 40));
        const DecodedPhoto photo = ReadPhoto(path);
        EXPECT_EQ(photo.status, DecodeStatus::Decoded);
        EXPECT_EQ(photo.image.size(), cv::Size(30, 40));
        EXPECT_EQ(photo.image.type(), CV_8UC3);
        EXPECT_EQ(ReadPhoto(path, 30 * 40 - 1).status, DecodeStatus::TooManyPixels);
    }
    if (!DecodesFormat(PhotoFormat::Tiff)) {
        for (const char* refused : {".tiff", ".webp"}) {
            std::vector<std::uint8_t> bytes;
            ASSERT_TRUE(cv::imencode(refused, image, bytes)) << refused;
            const std::string path = dir.file(std::string("photo") + refused);
            WriteBytes(path, bytes);
            EXPECT_EQ(ReadPhoto(path).status, DecodeStatus::NotAnImage) << refused;
        }
    }
    for (const char* damaged : {"", "\xFF\xD8\xFF", "\x89PNG\r\n\x1A\n", "BM", "II*", "MM",
                                "RIFF\x04\0\0\0WEBP", "not an image"}) {
        const std::string path = dir.file("damaged.jpg");
        WriteBytes(path, std::vector<std::uint8_t>(damaged, damaged + std::strlen(damaged)));
        EXPECT_EQ(ReadPhoto(path).status, DecodeStatus::NotAnImage) << damaged;
        EXPECT_FALSE(ReadPhotoHeaderSize(path)) << damaged;
    }
}

TEST(Formats, OnlyTheDocumentedFormatsReachADecoder) {
    // Formats OpenCV would decode, but that no photo for a registration comes in: each is
    // refused by its signature, before any decoder allocates what its header declares.
    const cv::Mat image(80, 64, CV_8UC3, cv::Scalar(10, 200, 30));
    for (const char* format : {".ppm", ".pam", ".pfm", ".ras", ".hdr", ".jp2"}) {
        SCOPED_TRACE(format);
        std::vector<std::uint8_t> bytes;
        ASSERT_TRUE(cv::imencode(format, image, bytes));
        ASSERT_FALSE(cv::imdecode(bytes, cv::IMREAD_COLOR).empty()) << "OpenCV reads it";
        EXPECT_EQ(SniffPhotoFormat(bytes), PhotoFormat::Unknown);
        EXPECT_FALSE(PhotoHeaderSize(bytes));
        EXPECT_EQ(DecodePhotoBytes(bytes).status, DecodeStatus::NotAnImage);
    }
    // A DICOM file is told by "DICM" at byte 128, whatever comes before: here a JPEG's bytes.
    std::vector<std::uint8_t> dicom(132, 0);
    std::memcpy(dicom.data() + 128, "DICM", 4);
    EXPECT_EQ(DecodePhotoBytes(dicom).status, DecodeStatus::NotAnImage);
}

TEST(Formats, LosslessTiffAndWebPAuditExactlyAsTheJpegTheyWereMadeFrom) {
    if (!DecodesFormat(PhotoFormat::Tiff)) {
        GTEST_SKIP() << "this build does not read TIFF or WebP";
    }
    const std::string jpeg = TestData("pass_red_test2_295x413.jpg");
    const cv::Mat pixels = cv::imread(jpeg);
    ASSERT_FALSE(pixels.empty());
    RecordingAudit reference;
    ASSERT_TRUE(reference.LoadFaceCascade());
    reference.AuditFile(jpeg, "photo");
    ASSERT_EQ(reference.m_nState, Passed) << jpeg;

    TempDir dir;
    const struct {
        const char* name;
        std::vector<int> params;
    } encodings[] = {
        {"photo.png", {}},
        {"photo.tiff", {}},
        {"photo.webp", {cv::IMWRITE_WEBP_QUALITY, 101}},  // over 100: lossless
    };
    for (const auto& encoding : encodings) {
        SCOPED_TRACE(encoding.name);
        const std::string path = dir.file(encoding.name);
        ASSERT_TRUE(cv::imwrite(path, pixels, encoding.params));
        const DecodedPhoto photo = ReadPhoto(path);
        ASSERT_EQ(photo.status, DecodeStatus::Decoded);
        EXPECT_EQ(photo.declaredSize, pixels.size());
        ASSERT_EQ(photo.image.size(), pixels.size());
        EXPECT_EQ(cv::norm(photo.image, pixels, cv::NORM_INF), 0) << "not the same pixels";

        RecordingAudit audit;
        ASSERT_TRUE(audit.LoadFaceCascade());
        audit.AuditFile(path, "photo");
        EXPECT_EQ(audit.m_nState, reference.m_nState);
        EXPECT_EQ(audit.lines, reference.lines);
        EXPECT_EQ(audit.m_details.faces, reference.m_details.faces);
        EXPECT_EQ(audit.m_details.face, reference.m_details.face);
        ASSERT_TRUE(audit.m_details.crop);
        EXPECT_EQ(audit.m_details.crop->resized, reference.m_details.crop->resized);
        ASSERT_EQ(audit.m_matResult.size(), reference.m_matResult.size());
        EXPECT_EQ(cv::norm(audit.m_matResult, reference.m_matResult, cv::NORM_INF), 0);
    }
}

TEST(Formats, AMultiPageTiffIsMeasuredAndDecodedByItsFirstPage) {
    if (!DecodesFormat(PhotoFormat::Tiff)) {
        GTEST_SKIP() << "this build does not read TIFF or WebP";
    }
    TempDir dir;
    const std::string path = dir.file("pages.tiff");
    const cv::Mat first(40, 30, CV_8UC3, cv::Scalar(10, 200, 30));
    const cv::Mat second(200, 300, CV_8UC3, cv::Scalar(200, 10, 30));
    ASSERT_TRUE(cv::imwritemulti(path, std::vector<cv::Mat>{first, second}));
    EXPECT_EQ(ReadPhotoHeaderSize(path), cv::Size(30, 40));
    // The second page alone would be over this limit.
    const DecodedPhoto photo = ReadPhoto(path, 30 * 40);
    ASSERT_EQ(photo.status, DecodeStatus::Decoded);
    ASSERT_EQ(photo.image.size(), first.size());
    EXPECT_EQ(cv::norm(photo.image, first, cv::NORM_INF), 0);
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

TEST(Warnings, LibtiffSaysNothingAboutADamagedHeader) {
    if (!DecodesFormat(PhotoFormat::Tiff)) {
        GTEST_SKIP() << "this build does not read TIFF or WebP";
    }
    TempDir dir;
    // The byte order mark and version of a TIFF, then a first directory far beyond the end.
    const std::string path = dir.file("damaged.tiff");
    WriteBytes(path, {'I', 'I', 42, 0, 0xF0, 0xFF, 0xFF, 0x0F, 1, 2, 3, 4});
    const std::string printed = StderrDuring(dir, [&] {
        EXPECT_EQ(ReadPhoto(path).status, DecodeStatus::NotAnImage);
        EXPECT_FALSE(ReadPhotoHeaderSize(path));
    });
    EXPECT_EQ(printed, "");
}

}  // namespace

namespace {

// A legal progressive JPEG of `side` x `side` in colour whose coefficients come in one scan per
// spectral band and component: the DC scan of all three, then 63 bands for each, 190 scans.
std::vector<std::uint8_t> ManyScanJpeg(int side) {
    std::vector<jpeg_scan_info> scans;
    scans.push_back({3, {0, 1, 2, 0}, 0, 0, 0, 0});
    for (int component = 0; component < 3; ++component) {
        for (int band = 1; band < 64; ++band) {
            scans.push_back({1, {component, 0, 0, 0}, band, band, 0, 0});
        }
    }
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &out, &size);
    cinfo.image_width = static_cast<JDIMENSION>(side);
    cinfo.image_height = static_cast<JDIMENSION>(side);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    cinfo.scan_info = scans.data();
    cinfo.num_scans = static_cast<int>(scans.size());
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<JSAMPLE> row(static_cast<std::size_t>(side) * 3, 128);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW rows[] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::vector<std::uint8_t> bytes(out, out + size);
    std::free(out);
    return bytes;
}

// `png` with a zTXt chunk inserted after the header, `count` times, each inflating to `inflated`
// bytes of text.
std::vector<std::uint8_t> WithCompressedText(std::vector<std::uint8_t> png, int count,
                                             std::size_t inflated) {
    std::vector<std::uint8_t> text(inflated, 'a');
    uLongf packedSize = compressBound(static_cast<uLong>(inflated));
    std::vector<std::uint8_t> packed(packedSize);
    compress2(packed.data(), &packedSize, text.data(), static_cast<uLong>(inflated), 9);
    packed.resize(packedSize);
    std::vector<std::uint8_t> chunk;
    const auto put32 = [&](std::uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            chunk.push_back(static_cast<std::uint8_t>(v >> shift));
        }
    };
    const std::string head = std::string("zTXt") + "Comment" + '\0' + '\0';
    put32(static_cast<std::uint32_t>(head.size() - 4 + packed.size()));
    chunk.insert(chunk.end(), head.begin(), head.end());
    chunk.insert(chunk.end(), packed.begin(), packed.end());
    put32(static_cast<std::uint32_t>(
        crc32(0, chunk.data() + 4, static_cast<uInt>(chunk.size() - 4))));
    const std::ptrdiff_t afterHeader = 8 + 25;  // the signature and the IHDR chunk
    for (int i = 0; i < count; ++i) {
        png.insert(png.begin() + afterHeader, chunk.begin(), chunk.end());
    }
    return png;
}

}  // namespace

TEST(Bombs, AJpegOfMoreScansThanAnyCameraWritesIsRefusedUndecoded) {
    const std::vector<std::uint8_t> bytes = ManyScanJpeg(64);
    ASSERT_FALSE(cv::imdecode(bytes, cv::IMREAD_COLOR).empty()) << "a legal JPEG";
    EXPECT_EQ(CountJpegScans(bytes, 1000), 190);
    const DecodedPhoto photo = DecodePhotoBytes(bytes);
    EXPECT_EQ(photo.status, DecodeStatus::TooManyScans);
    EXPECT_TRUE(photo.image.empty());
    const AuditResult result = AuditPhotoBytes(bytes, {});
    EXPECT_EQ(result.state, BadFormat);
    EXPECT_EQ(result.details.why.cause, WhyCause::TooManyScans);

    // libjpeg's own progressive script has 10 scans for colour: audited as ever.
    std::vector<std::uint8_t> progressive;
    cv::imencode(".jpg", cv::Mat(64, 64, CV_8UC3, cv::Scalar::all(90)), progressive,
                 {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
    EXPECT_EQ(CountJpegScans(progressive), 10);
    EXPECT_EQ(DecodePhotoBytes(progressive).status, DecodeStatus::Decoded);
}

TEST(Bombs, APngsCompressedTextIsLeftOutAndItsPixelsKept) {
    const std::vector<std::uint8_t> plain = ReadBytes(TestData("pass_red_test2_295x413.jpg"));
    std::vector<std::uint8_t> png;
    ASSERT_TRUE(cv::imencode(".png", cv::imdecode(plain, cv::IMREAD_COLOR), png));
    // 300 chunks of 1 MiB of text each: libpng would inflate 300 MiB to read them.
    const std::vector<std::uint8_t> bomb = WithCompressedText(png, 300, 1 << 20);
    ASSERT_LT(bomb.size(), png.size() + 300 * 2000) << "the text must pack small";
    const DecodedPhoto clean = DecodePhotoBytes(png);
    const DecodedPhoto withText = DecodePhotoBytes(bomb);
    ASSERT_EQ(withText.status, DecodeStatus::Decoded);
    EXPECT_EQ(cv::norm(clean.image, withText.image, cv::NORM_INF), 0);
}

TEST(Transparency, IsTheCauseWhenTheBackgroundIsTransparent) {
    // The portrait with its top 100 rows transparent (and black underneath, as editors leave
    // them): the verdict stays BadBackground, the hint says what is wrong.
    cv::Mat photo = cv::imread(TestData("pass_red_test2_295x413.jpg"));
    cv::Mat rgba;
    cv::cvtColor(photo, rgba, cv::COLOR_BGR2BGRA);
    rgba(cv::Rect(0, 0, rgba.cols, 100)).setTo(cv::Scalar(0, 0, 0, 0));
    std::vector<std::uint8_t> png;
    ASSERT_TRUE(cv::imencode(".png", rgba, png));
    png.resize(std::max<std::size_t>(png.size(), 40000), 0);  // past the size rung's minimum
    const AuditResult result = AuditPhotoBytes(png, CascadeFaceFinder(LoadedAudit().m_faceCascade));
    EXPECT_EQ(result.state, BadBackground);
    EXPECT_EQ(result.details.why.cause, WhyCause::BackgroundTransparent);
    EXPECT_TRUE(result.details.why.transparent);

    // An opaque PNG of the same photo is not transparent.
    std::vector<std::uint8_t> opaque;
    ASSERT_TRUE(cv::imencode(".png", photo, opaque));
    EXPECT_FALSE(DecodePhotoBytes(opaque).transparent);
}
