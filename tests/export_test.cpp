#include <algorithm>
#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "engine/Export.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

cv::Mat Photo() {
    cv::Mat photo(413, 295, CV_8UC3);
    cv::randu(photo, 0, 256);
    return photo;
}

std::vector<std::uint8_t> Expected(const cv::Mat& photo) {
    std::vector<std::uint8_t> bytes;
    cv::imencode(".jpg", photo, bytes, {cv::IMWRITE_JPEG_QUALITY, 50});
    const std::uint8_t trailer[10] = {'P', 'U', 'Y', '^', 'N', 'V', 'T', 'Z', 0, 0};
    bytes.insert(bytes.end(), trailer, trailer + 10);
    return bytes;
}

std::vector<std::string> Entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(Trailer, TagBytesRaisedByTheirPositionPlusFive) {
    const auto trailer = MakePhotoTrailer();
    const std::array<std::uint8_t, 10> expected = {0x50, 0x55, 0x59, 0x5E, 0x4E,
                                                   0x56, 0x54, 0x5A, 0x00, 0x00};
    EXPECT_EQ(trailer, expected);
    EXPECT_EQ(MakePhotoTrailer(), trailer) << "every photo carries the same trailer";
}

TEST(WriteApprovedPhoto, WritesJpegQualityFiftyThenTheTrailer) {
    TempDir dir;
    const cv::Mat photo = Photo();
    const std::string path = dir.file("报名照片.jpg");
    const WriteResult result = WriteApprovedPhoto(photo, path);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(ReadBytes(path), Expected(photo));
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"报名照片.jpg"}) << "temporary left";
    EXPECT_EQ(cv::imread(path).size(), photo.size());
}

TEST(WriteApprovedPhoto, AnyNameGetsJpegBytes) {
    TempDir dir;
    const cv::Mat photo = Photo();
    for (const char* name : {"photo.png", "photo", "photo.JPG"}) {
        ASSERT_TRUE(WriteApprovedPhoto(photo, dir.file(name)).ok) << name;
        EXPECT_EQ(ReadBytes(dir.file(name)), Expected(photo)) << name;
    }
}

TEST(WriteApprovedPhoto, ReplacesAnExistingFileWhole) {
    TempDir dir;
    const std::string path = dir.file("old.jpg");
    WriteBytes(path, std::vector<std::uint8_t>(500000, 0xAB));
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    const cv::Mat photo = Photo();
    ASSERT_TRUE(WriteApprovedPhoto(photo, path).ok);
    EXPECT_EQ(ReadBytes(path), Expected(photo));
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

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

}  // namespace
