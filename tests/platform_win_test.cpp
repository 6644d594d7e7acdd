// The Windows platform layer: names in any script, the save that never replaces unless asked,
// and the run log's bytes.

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log/Log.h"
#include "platform/Files.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

// A folder and a file name outside every single-byte code page, with spaces.
const std::string kFolder = "证件照 测试";
const std::string kName = "张三 照片 ✓.jpg";

std::string Utf8Child(const TempDir& dir, const std::string& name) {
    return Utf8FromPath(dir.path() / PathFromUtf8(name));
}

std::vector<std::string> Entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.push_back(Utf8FromPath(entry.path().filename()));
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(WindowsNames, SaveAndReadUnderAnyScript) {
    TempDir dir;
    const std::string folder = Utf8Child(dir, kFolder);
    ASSERT_TRUE(fs::create_directory(PathFromUtf8(folder)));
    const std::string path = Utf8FromPath(PathFromUtf8(folder) / PathFromUtf8(kName));
    const std::vector<std::uint8_t> bytes{0xFF, 0xD8, 0x00, 0x0D, 0x0A, 0x1A, 0xFF, 0xD9};

    const WriteResult written = WriteFileAtomically(bytes, path, ExistingTarget::Keep);
    ASSERT_TRUE(written.ok) << written.error;
    // The name on disk is the UTF-16 of the UTF-8 given, not its bytes in a code page.
    EXPECT_EQ(Entries(PathFromUtf8(folder)), std::vector<std::string>{kName});
    const FileBytes read = ReadFileBytes(path, 1000);
    EXPECT_FALSE(read.error) << read.error.message();
    EXPECT_EQ(read.bytes, bytes) << "a carriage return, line feed or Ctrl-Z was translated";
    EXPECT_EQ(read.length, bytes.size());

    const std::optional<FileIdentity> id = IdentifyFile(path, true);
    ASSERT_TRUE(id);
    std::string otherSpelling = path;
    std::replace(otherSpelling.begin(), otherSpelling.end(), '\\', '/');
    EXPECT_EQ(IdentifyFile(otherSpelling, false), id);
    ASSERT_TRUE(WriteFileAtomically(bytes, Utf8Child(dir, "other.jpg")).ok);
    EXPECT_NE(IdentifyFile(Utf8Child(dir, "other.jpg"), true), id);
    EXPECT_FALSE(IdentifyFile(Utf8Child(dir, "missing.jpg"), true));
}

TEST(WindowsNames, ReadingRefusesWhatIsNoFile) {
    TempDir dir;
    const std::string folder = Utf8Child(dir, kFolder);
    fs::create_directory(PathFromUtf8(folder));
    EXPECT_EQ(ReadFileBytes(folder, 1000).error, std::errc::is_a_directory);
    EXPECT_EQ(ReadFileBytes(Utf8Child(dir, kName), 1000).error,
              std::errc::no_such_file_or_directory);
    EXPECT_EQ(ReadFileBytes("", 1000).error, std::errc::no_such_file_or_directory);
    EXPECT_EQ(ReadFileBytes("bad \xFF name.jpg", 1000).error, std::errc::invalid_argument);

    const std::string big = Utf8Child(dir, kName);
    ASSERT_TRUE(WriteFileAtomically(std::vector<std::uint8_t>(2000, 1), big).ok);
    const FileBytes refused = ReadFileBytes(big, 1999);
    EXPECT_EQ(refused.error, std::errc::file_too_large);
    EXPECT_EQ(refused.length, 2000u);
    EXPECT_TRUE(refused.bytes.empty());
}

TEST(WindowsSave, KeepLeavesEveryExistingNameAloneAndReplaceReplacesWhole) {
    TempDir dir;
    const std::string file = Utf8Child(dir, kName);
    const std::string folder = Utf8Child(dir, "folder.jpg");
    ASSERT_TRUE(WriteFileAtomically({5}, file).ok);
    fs::create_directory(PathFromUtf8(folder));
    for (const std::string& name : {file, folder}) {
        const WriteResult kept = WriteFileAtomically({1, 2, 3}, name, ExistingTarget::Keep);
        EXPECT_FALSE(kept.ok) << name;
        EXPECT_TRUE(kept.exists) << name;
        EXPECT_FALSE(kept.error.empty()) << name;
    }
    EXPECT_EQ(ReadFileBytes(file, 100).bytes, std::vector<std::uint8_t>{5});
    EXPECT_TRUE(fs::is_directory(PathFromUtf8(folder)));

    const std::vector<std::uint8_t> replacement(100000, 0x42);
    const WriteResult replaced = WriteFileAtomically(replacement, file, ExistingTarget::Replace);
    ASSERT_TRUE(replaced.ok) << replaced.error;
    EXPECT_EQ(ReadFileBytes(file, 1u << 20).bytes, replacement);

    const WriteResult impossible =
        WriteFileAtomically({1}, Utf8Child(dir, "no such folder\\a.jpg"), ExistingTarget::Keep);
    EXPECT_FALSE(impossible.ok);
    EXPECT_FALSE(impossible.exists);
    // No temporary file is left behind by any of the saves.
    EXPECT_EQ(Entries(dir.path()), (std::vector<std::string>{"folder.jpg", kName}));
}

TEST(WindowsLog, EntriesKeepTheirOwnLineEndsAndTheFileIsAppendedTo) {
    TempDir dir;
    const std::string log = Utf8Child(dir, "日志 Test.log");
    {
        CLog first;
        ASSERT_NE(first.Open(log.c_str()), nullptr);
        EXPECT_EQ(first.Print("%s\r\n", "系统启动"), std::string("系统启动\r\n").size());
    }
    {
        CLog second;
        ASSERT_NE(second.Open(log.c_str()), nullptr);
        second.Print("%s", "a.jpg图像审核成功！\r\n");
        EXPECT_FALSE(second.Failed());
    }
    const std::vector<std::uint8_t> bytes = ReadFileBytes(log, 1000).bytes;
    const std::string text(bytes.begin(), bytes.end());
    // "YYYY-MM-DD hh:mm:ss\t" before each entry; the entries' bytes exactly as given.
    ASSERT_EQ(text.size(), 2 * 20 + std::string("系统启动\r\na.jpg图像审核成功！\r\n").size())
        << text;
    EXPECT_EQ(text.substr(20, 14), "系统启动\r\n");
    EXPECT_EQ(text.substr(19, 1), "\t");
    EXPECT_EQ(text.substr(text.size() - 29), "\ta.jpg图像审核成功！\r\n");

    CLog onFolder;
    EXPECT_EQ(onFolder.Open(Utf8FromPath(dir.path()).c_str()), nullptr);
}

TEST(WindowsInstall, DataFilesAreFoundBesideTheProgram) {
    const std::string beside = InstalledFilePath("haarcascade_frontalface_alt2.xml");
    EXPECT_TRUE(fs::is_regular_file(PathFromUtf8(beside))) << beside;
    EXPECT_TRUE(PathFromUtf8(beside).is_absolute()) << beside;
    EXPECT_EQ(InstalledFilePath("C:\\data\\x.xml"), "C:\\data\\x.xml");
    EXPECT_EQ(InstalledFilePath(""), "");
}

}  // namespace
