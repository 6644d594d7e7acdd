#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "log/Log.h"
#include "platform/System.h"
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
    // The stamp must be the local time of one of the seconds the entry was written in. Compared
    // as text, so that the hour repeated when summer time ends cannot make it ambiguous.
    const std::string logged = ReadText(file).substr(0, 19);
    std::vector<std::string> candidates;
    for (std::time_t t = before; t <= after; ++t) {
        std::tm local{};
        localtime_r(&t, &local);
        std::ostringstream text;
        text << std::put_time(&local, "%Y-%m-%d %H:%M:%S");
        candidates.push_back(text.str());
    }
    EXPECT_NE(std::find(candidates.begin(), candidates.end(), logged), candidates.end()) << logged;
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

TEST(Log, ExistingLogIsNeverTruncated) {
    TempDir dir;
    const std::string file = dir.file("Test.log");
    WriteBytes(file, {'o', 'l', 'd', '\r', '\n'});
    // Writable but not readable: opened for appending alone.
    std::filesystem::permissions(file, std::filesystem::perms::owner_write |
                                           std::filesystem::perms::group_write |
                                           std::filesystem::perms::others_write);
    OpenToOthers(dir.path());
    EXPECT_TRUE(RunUnprivileged([&] {
        CLog log;
        if (log.Open(file.c_str()) == nullptr) {
            return false;
        }
        return log.Print("%s", "new\r\n") == 5 && !log.Failed();
    }));
    std::filesystem::permissions(file, std::filesystem::perms::owner_read,
                                 std::filesystem::perm_options::add);
    const std::string text = ReadText(file);
    EXPECT_EQ(text.substr(0, 5), "old\r\n");
    EXPECT_TRUE(std::regex_match(text.substr(5), std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\tnew\r\n)")))
        << text;

    // Neither readable nor writable: not opened, and left as it was.
    std::filesystem::permissions(file, std::filesystem::perms::none);
    EXPECT_TRUE(RunUnprivileged([&] {
        CLog log;
        return log.Open(file.c_str()) == nullptr && !log.IsOpen();
    }));
    std::filesystem::permissions(file, std::filesystem::perms::owner_read);
    EXPECT_EQ(ReadText(file), text);
}

TEST(Log, FifoAndOtherNonFilesAreRefusedAtOnce) {
    TempDir dir;
    const std::string fifo = dir.file("fifo.log");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    CLog log;
    // No reader: a blocking open would wait for one forever.
    EXPECT_EQ(log.Open(fifo.c_str()), nullptr);
    EXPECT_FALSE(log.IsOpen());
    // With a reader, refused all the same, and nothing reaches it.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    errno = 0;
    EXPECT_EQ(log.Open(fifo.c_str()), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(log.Print("%s", "lost\r\n"), 0u);
    char byte = 0;
    EXPECT_LE(::read(reader, &byte, 1), 0);
    ::close(reader);

    errno = 0;
    EXPECT_EQ(log.Open(dir.path().c_str()), nullptr) << "a directory";
    EXPECT_NE(errno, 0);
    // A character device is a fine place to throw a log away.
    EXPECT_NE(log.Open("/dev/null"), nullptr);
}

TEST(Log, FailedWritesAreReportedAndSticky) {
    TempDir dir;
    CLog log;
    ASSERT_NE(log.Open(dir.file("ok.log").c_str()), nullptr);
    log.Print("%s", "fine\r\n");
    log.Close();
    EXPECT_FALSE(log.Failed());

    if (::access("/dev/full", W_OK) != 0) {
        GTEST_SKIP() << "no /dev/full on this system";
    }
    ASSERT_NE(log.Open("/dev/full"), nullptr);
    EXPECT_FALSE(log.Failed());
    EXPECT_EQ(log.Print("%s", "lost\r\n"), 0u);
    EXPECT_TRUE(log.Failed());
    log.Close();
    EXPECT_TRUE(log.Failed()) << "stays failed until the next Open";

    ASSERT_NE(log.Open(dir.file("ok.log").c_str()), nullptr);
    EXPECT_FALSE(log.Failed());
}

// Runs `body` in a child process whose descriptors `closed` are closed first; true when the
// child's body returned true.
bool InChildWithClosed(std::initializer_list<int> closed, bool (*body)()) {
    const pid_t child = fork();
    if (child == 0) {
        for (const int fd : closed) {
            ::close(fd);
        }
        _exit(body() ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

bool IsDevNull(int fd) {
    struct stat st {};
    struct stat null {};
    return ::fstat(fd, &st) == 0 && ::stat("/dev/null", &null) == 0 && S_ISCHR(st.st_mode) &&
           st.st_rdev == null.st_rdev;
}

TEST(StandardDescriptors, ClosedOnesGetDevNullAndFilesStayAboveThem) {
    // Without the call, a file opened next takes the closed stderr's place.
    EXPECT_TRUE(InChildWithClosed({2}, [] {
        const int fd = ::open("/dev/zero", O_RDONLY);
        return fd == 2;
    }));
    EXPECT_TRUE(InChildWithClosed({2}, [] {
        if (!OpenClosedStandardDescriptors() || !IsDevNull(2)) {
            return false;
        }
        const int fd = ::open("/dev/zero", O_RDONLY);
        return fd > 2;
    }));
    EXPECT_TRUE(InChildWithClosed({0, 1, 2}, [] {
        return OpenClosedStandardDescriptors() && IsDevNull(0) && IsDevNull(1) && IsDevNull(2) &&
               ::write(1, "x", 1) == 1;
    }));
    // Open ones are left alone.
    EXPECT_TRUE(InChildWithClosed({1}, [] {
        struct stat before {};
        struct stat after {};
        ::fstat(2, &before);
        return OpenClosedStandardDescriptors() && IsDevNull(1) && ::fstat(2, &after) == 0 &&
               before.st_ino == after.st_ino && before.st_dev == after.st_dev;
    }));
}

}  // namespace
