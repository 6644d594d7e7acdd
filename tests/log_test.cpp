#include <fstream>
#include <iomanip>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "log/Log.h"
#include "test_support.h"

namespace {

const std::regex kStamp(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\t)");

TEST(Log, EntryIsTimestampTabAndTextAsGiven) {
    TempDir dir;
    const std::string file = dir.file("Test.log");
    CLog log;
    ASSERT_NE(log.Open(file.c_str()), nullptr);
    EXPECT_EQ(log.Print("%s\r\n", "系统启动"), std::string("系统启动\r\n").size());
    // A per-cent sign in the argument is text, not a conversion.
    EXPECT_EQ(log.Print("%s", "100% 照片.jpg图像审核成功！\r\n"),
              std::string("100% 照片.jpg图像审核成功！\r\n").size());

    // Every entry is flushed before Print returns: readable while the log is still open.
    const std::string text = ReadText(file);
    const std::regex whole(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\t系统启动\r\n)"
                           R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\t100% 照片\.jpg图像审核成功！\r\n)");
    EXPECT_TRUE(std::regex_match(text, whole)) << text;
}

TEST(Log, TimestampIsTheLocalTime) {
    TempDir dir;
    const std::string file = dir.file("Test.log");
    CLog log;
    ASSERT_NE(log.Open(file.c_str()), nullptr);
    const std::time_t before = std::time(nullptr);
    log.Print("x");
    const std::time_t after = std::time(nullptr);
    std::tm stamp{};
    std::istringstream in(ReadText(file));
    in >> std::get_time(&stamp, "%Y-%m-%d %H:%M:%S");
    ASSERT_FALSE(in.fail());
    stamp.tm_isdst = -1;
    const std::time_t logged = std::mktime(&stamp);
    EXPECT_GE(logged, before);
    EXPECT_LE(logged, after);
}

TEST(Log, SecondRunAppendsAfterTheOldContent) {
    TempDir dir;
    const std::string file = dir.file("Test.log");
    {
        CLog first;
        ASSERT_NE(first.Open(file.c_str()), nullptr);
        first.Print("%s\r\n", "one");
    }
    CLog second;
    ASSERT_NE(second.Open(file.c_str()), nullptr);
    second.Print("%s\r\n", "two");
    const std::string text = ReadText(file);
    EXPECT_NE(text.find("one\r\n"), std::string::npos);
    EXPECT_LT(text.find("one\r\n"), text.find("two\r\n"));
}

TEST(Log, OpenTwiceKeepsTheFirstFile) {
    TempDir dir;
    CLog log;
    std::FILE* fp = log.Open(dir.file("a.log").c_str());
    ASSERT_NE(fp, nullptr);
    EXPECT_EQ(log.Open(dir.file("b.log").c_str()), nullptr);
    log.Print("kept");
    EXPECT_NE(ReadText(dir.file("a.log")).find("kept"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.file("b.log")));
}

TEST(Log, UnopenableFileLeavesTheLogClosedAndSilent) {
    TempDir dir;
    CLog log;
    EXPECT_EQ(log.Open(dir.file("missing/folder/Test.log").c_str()), nullptr);
    EXPECT_FALSE(log.IsOpen());
    EXPECT_EQ(log.Print("%s", "dropped"), 0u);
}

TEST(Log, LongEntryIsWrittenWhole) {
    TempDir dir;
    const std::string file = dir.file("Test.log");
    CLog log;
    ASSERT_NE(log.Open(file.c_str()), nullptr);
    std::string name;
    for (int i = 0; i < 400; ++i) {
        name += "照";  // 3 bytes each: 1200 bytes, beyond any fixed 1024-byte buffer
    }
    const std::string line = name + ".jpg图像审核成功！\r\n";
    EXPECT_EQ(log.Print("%s", line.c_str()), line.size());
    log.Print("%s", "next\r\n");
    const std::string text = ReadText(file);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, kStamp));
    EXPECT_EQ(text.substr(m.length(), line.size()), line);
    EXPECT_NE(text.find("\r\n" + text.substr(0, 4)), std::string::npos) << "next entry on its own line";
}

TEST(Log, ConcurrentEntriesNeverInterleave) {
    TempDir dir;
    const std::string file = dir.file("Test.log");
    CLog log;
    ASSERT_NE(log.Open(file.c_str()), nullptr);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&log, t] {
            const std::string text = std::string(300, static_cast<char>('a' + t)) + "\r\n";
            for (int i = 0; i < 50; ++i) {
                log.Print("%s", text.c_str());
            }
        });
    }
    for (auto& w : writers) {
        w.join();
    }
    std::istringstream lines(ReadText(file));
    std::string line;
    int count = 0;
    const std::regex entry(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\t(a{300}|b{300}|c{300}|d{300})\r)");
    while (std::getline(lines, line)) {
        ++count;
        EXPECT_TRUE(std::regex_match(line, entry)) << line.substr(0, 40);
    }
    EXPECT_EQ(count, 200);
}

TEST(Log, CloseStopsWriting) {
    TempDir dir;
    const std::string file = dir.file("Test.log");
    CLog log;
    ASSERT_NE(log.Open(file.c_str()), nullptr);
    log.Close();
    EXPECT_EQ(log.Print("late"), 0u);
    EXPECT_EQ(ReadText(file), "");
}

}  // namespace
