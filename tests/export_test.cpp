#include <algorithm>
#include <filesystem>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "engine/Export.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

// A smooth picture, which JPEG at quality 50 keeps closely.
cv::Mat Photo() {
    cv::Mat photo(413, 295, CV_8UC3);
    for (int y = 0; y < photo.rows; ++y) {
        for (int x = 0; x < photo.cols; ++x) {
            photo.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>(x * 255 / 294),
                                                  static_cast<uchar>(y * 255 / 412), 128);
        }
    }
    return photo;
}

// The luminance quantisation table of a baseline JPEG, in the file's zigzag order.
std::vector<int> LuminanceTable(const std::vector<std::uint8_t>& jpeg) {
    for (std::size_t i = 2; i + 4 <= jpeg.size() && jpeg[i] == 0xFF;) {
        const std::size_t length = jpeg[i + 2] * 256u + jpeg[i + 3];
        if (jpeg[i + 1] == 0xDB && jpeg[i + 4] == 0 && i + 4 + 65 <= jpeg.size()) {
            return {jpeg.begin() + static_cast<std::ptrdiff_t>(i) + 5,
                    jpeg.begin() + static_cast<std::ptrdiff_t>(i) + 69};
        }
        i += 2 + length;
    }
    return {};
}

// A saved photo: a JPEG of the photo's size and content, quantised with the standard luminance
// table unscaled (quality 50), then the ten trailer bytes.
void ExpectSavedPhoto(const std::vector<std::uint8_t>& bytes, const cv::Mat& photo,
                      const std::string& what) {
    const std::vector<std::uint8_t> trailer = {0x50, 0x55, 0x59, 0x5E, 0x4E,
                                               0x56, 0x54, 0x5A, 0x00, 0x00};
    ASSERT_GT(bytes.size(), 1000u) << what;
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.end() - 10, bytes.end()), trailer) << what;
    const std::vector<std::uint8_t> jpeg(bytes.begin(), bytes.end() - 10);
    EXPECT_EQ(jpeg[0], 0xFF) << what;
    EXPECT_EQ(jpeg[1], 0xD8) << what;
    EXPECT_EQ(jpeg[jpeg.size() - 2], 0xFF) << what;
    EXPECT_EQ(jpeg[jpeg.size() - 1], 0xD9) << what;
    const std::vector<int> quality50 = {
        16, 11, 12, 14, 12, 10, 16, 14, 13, 14, 18, 17, 16, 19, 24, 40,
        26, 24, 22, 22, 24, 49, 35, 37, 29, 40, 58, 51, 61, 60, 57, 51,
        56, 55, 64, 72, 92, 78, 64, 68, 87, 69, 55, 56, 80, 109, 81, 87,
        95, 98, 103, 104, 103, 62, 77, 113, 121, 112, 100, 120, 92, 101, 103, 99};
    EXPECT_EQ(LuminanceTable(jpeg), quality50) << what;
    const cv::Mat decoded = cv::imdecode(jpeg, cv::IMREAD_COLOR);
    ASSERT_EQ(decoded.size(), photo.size()) << what;
    EXPECT_LT(cv::norm(decoded, photo, cv::NORM_L1) / static_cast<double>(photo.total() * 3), 2.0) << what;
}

std::vector<std::string> Entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.push_back(Utf8FromPath(entry.path().filename()));
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(Trailer, TagBytesRaisedByTheirPositionPlusFive) {
    const auto trailer = MakePhotoTrailer();
    const std::array<std::uint8_t, 10> expected = {0x50, 0x55, 0x59, 0x5E, 0x4E,
                                                   0x56, 0x54, 0x5A, 0x00, 0x00};
    EXPECT_EQ(trailer, expected);
}

TEST(WriteApprovedPhoto, WritesJpegQualityFiftyThenTheTrailer) {
    TempDir dir;
    const cv::Mat photo = Photo();
    const std::string path = dir.file("报名照片.jpg");
    const WriteResult result = WriteApprovedPhoto(photo, path);
    ASSERT_TRUE(result.ok) << result.error;
    ExpectSavedPhoto(ReadBytes(path), photo, path);
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"报名照片.jpg"}) << "temporary left";
}

TEST(WriteApprovedPhoto, AnyNameGetsJpegBytes) {
    TempDir dir;
    const cv::Mat photo = Photo();
    ASSERT_TRUE(WriteApprovedPhoto(photo, dir.file("photo.jpg")).ok);
    const std::vector<std::uint8_t> jpg = ReadBytes(dir.file("photo.jpg"));
    ExpectSavedPhoto(jpg, photo, "photo.jpg");
    for (const char* name : {"photo.png", "photo", "photo.JPG"}) {
        ASSERT_TRUE(WriteApprovedPhoto(photo, dir.file(name)).ok) << name;
        EXPECT_EQ(ReadBytes(dir.file(name)), jpg) << name;
    }
}

TEST(WriteApprovedPhoto, ReplacesAnExistingFileWhole) {
    TempDir dir;
    const std::string path = dir.file("old.jpg");
    WriteBytes(path, std::vector<std::uint8_t>(500000, 0xAB));
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    const cv::Mat photo = Photo();
    ASSERT_TRUE(WriteApprovedPhoto(photo, path).ok);
    ExpectSavedPhoto(ReadBytes(path), photo, path);
#ifndef _WIN32
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
#endif
}

// Permissions, modes and links as Linux has them; the Windows build checks its own in
// platform_win_test.cpp.
#ifndef _WIN32
TEST(WriteApprovedPhoto, FailureIsReportedAndLeavesEverythingAsItWas) {
    TempDir dir;
    const fs::path locked = dir.path() / "locked";
    fs::create_directory(locked);
    const std::string existing = (locked / "photo.jpg").string();
    const std::vector<std::uint8_t> old(1000, 0x11);
    WriteBytes(existing, old);
    OpenToOthers(dir.path());
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    const cv::Mat photo = Photo();
    EXPECT_TRUE(RunUnprivileged([&] {
        const WriteResult result = WriteApprovedPhoto(photo, existing);
        return !result.ok && !result.error.empty();
    })) << "the save into a read-only folder did not report failure";
    EXPECT_EQ(ReadBytes(existing), old);
    EXPECT_EQ(Entries(locked), std::vector<std::string>{"photo.jpg"});
}
#endif

TEST(WriteApprovedPhoto, ImpossibleTargetsFailWithAReason) {
    TempDir dir;
    const cv::Mat photo = Photo();
    for (const std::string& path :
         {dir.file("no/such/folder/photo.jpg"), dir.path().string() + "/", std::string()}) {
        const WriteResult result = WriteApprovedPhoto(photo, path);
        EXPECT_FALSE(result.ok) << path;
        EXPECT_FALSE(result.error.empty()) << path;
    }
    fs::create_directory(dir.file("folder.jpg"));
    EXPECT_FALSE(WriteApprovedPhoto(photo, dir.file("folder.jpg")).ok);
    EXPECT_TRUE(fs::is_directory(dir.file("folder.jpg")));
    EXPECT_FALSE(WriteApprovedPhoto(cv::Mat(), dir.file("empty.jpg")).ok);
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"folder.jpg"});
}

#ifndef _WIN32
// The modes a save leaves: a new file follows the umask, a replaced one keeps its permission
// bits but never a set-ID bit, and a symbolic link is replaced by a plain new file, its target
// neither written nor copied.
TEST(WriteFileAtomically, ModesOfNewReplacedAndLinkedTargets) {
    TempDir dir;
    const std::vector<std::uint8_t> bytes{1, 2, 3};
    const mode_t oldMask = ::umask(027);
    const bool fresh = WriteFileAtomically(bytes, dir.file("new.jpg")).ok;
    ::umask(oldMask);
    ASSERT_TRUE(fresh);
    struct stat st {};
    ASSERT_EQ(::lstat(dir.file("new.jpg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    const std::string setId = dir.file("setid.jpg");
    WriteBytes(setId, {9});
    ASSERT_EQ(::chmod(setId.c_str(), 06754), 0);
    ASSERT_TRUE(WriteFileAtomically(bytes, setId).ok);
    ASSERT_EQ(::lstat(setId.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0754u);
    EXPECT_EQ(ReadBytes(setId), bytes);

    const std::string target = dir.file("program");
    WriteBytes(target, {7, 7});
    ASSERT_EQ(::chmod(target.c_str(), 04755), 0);
    const std::string link = dir.file("link.jpg");
    fs::create_symlink(target, link);
    const mode_t mask = ::umask(022);
    ::umask(mask);
    ASSERT_TRUE(WriteFileAtomically(bytes, link).ok);
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0666u & ~mask);
    EXPECT_EQ(ReadBytes(link), bytes);
    EXPECT_EQ(ReadBytes(target), (std::vector<std::uint8_t>{7, 7}));
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 04755u);
}

TEST(WriteFileAtomically, KeepingExistingNamesLeavesEveryKindAlone) {
    TempDir dir;
    const std::vector<std::uint8_t> bytes{1, 2, 3};
    WriteBytes(dir.file("file.jpg"), {5});
    fs::create_symlink(dir.file("nowhere"), dir.file("dangling.jpg"));
    fs::create_directory(dir.file("folder.jpg"));
    for (const char* name : {"file.jpg", "dangling.jpg", "folder.jpg"}) {
        const WriteResult result = WriteFileAtomically(bytes, dir.file(name), ExistingTarget::Keep);
        EXPECT_FALSE(result.ok) << name;
        EXPECT_TRUE(result.exists) << name;
    }
    EXPECT_EQ(ReadBytes(dir.file("file.jpg")), std::vector<std::uint8_t>{5});
    EXPECT_FALSE(fs::exists(dir.file("nowhere")));
    const WriteResult fresh = WriteFileAtomically(bytes, dir.file("fresh.jpg"), ExistingTarget::Keep);
    EXPECT_TRUE(fresh.ok) << fresh.error;
    EXPECT_EQ(ReadBytes(dir.file("fresh.jpg")), bytes);
    EXPECT_EQ(Entries(dir.path()), (std::vector<std::string>{"dangling.jpg", "file.jpg",
                                                             "folder.jpg", "fresh.jpg"}));
}
#endif

}  // namespace
