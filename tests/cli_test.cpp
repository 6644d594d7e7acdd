#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "engine/Export.h"
#include "engine/PhotoAudit.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Starts vetrix-audit in `cwd` with its output going to files in `scratch`.
pid_t Start(const std::vector<std::string>& args, const std::string& cwd, const TempDir& scratch) {
    const std::string program = std::string(VETRIX_BIN_DIR) + "/vetrix-audit";
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(scratch.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(scratch.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(cwd.c_str()) != 0) {
            _exit(127);
        }
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return child;
}

Outcome Finish(pid_t child, const TempDir& scratch) {
    Outcome run;
    int status = 0;
    waitpid(child, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = ReadText(scratch.file("out"));
    run.err = ReadText(scratch.file("err"));
    return run;
}

Outcome Audit(const std::vector<std::string>& args, const std::string& cwd = VETRIX_TEST_DATA) {
    TempDir scratch;
    return Finish(Start(args, cwd, scratch), scratch);
}

TEST(Command, JsonMatchesTheReferenceForEveryExamplePhoto) {
    const std::vector<std::string> expected = Lines(ReadText(TestData("EXPECTED.jsonl")));
    std::vector<std::string> args{"--json", "--jobs", "2"};
    for (const std::string& line : expected) {
        const auto start = line.find("\"file\": \"") + 9;
        args.push_back(line.substr(start, line.find('"', start) - start));
    }
    const Outcome run = Audit(args);
    EXPECT_EQ(run.status, 1) << run.err;
    const std::vector<std::string> got = Lines(run.out);
    ASSERT_EQ(got.size(), expected.size()) << run.out;
    for (std::size_t i = 0; i < got.size(); ++i) {
        // Every key of the reference, byte for byte; the explanation follows them as "why".
        const std::size_t why = got[i].find(", \"why\": {");
        ASSERT_NE(why, std::string::npos) << args[i + 3];
        EXPECT_EQ(got[i].substr(0, why) + "}", expected[i]) << args[i + 3];
    }
}

TEST(Command, TextLinesAndTheSummary) {
    const Outcome run = Audit({"pass_red_test2_295x413.jpg", "bg_green_test3.jpg"});
    EXPECT_EQ(run.out,
              "pass_red_test2_295x413.jpg\tPassed\t图像审核成功！\n"
              "bg_green_test3.jpg\tBadBackground\t不是纯背景，或者不是红蓝白！\n");
    EXPECT_NE(run.err.find("2 photos in"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Passed 1,"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("BadBackground 1,"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find('\r'), std::string::npos) << "a progress bar without a terminal";
}

TEST(Command, OutputKeepsTheInputOrderWhateverTheJobs) {
    const Outcome one = Audit({"--jobs", "1", "."});
    const Outcome three = Audit({"--jobs", "3", "."});
    EXPECT_EQ(one.out, three.out);
    EXPECT_EQ(Lines(one.out).size(), 33u) << "22 photos here, 11 in expected-saved";
}

TEST(Command, FoldersAreWalkedForJpegNamesInAnyCase) {
    TempDir dir;
    const std::string photo = TestData("pass_red_test2_295x413.jpg");
    for (const std::string name : {"b.JPG", "a.jpe", "c.Jpeg", "d.png", "notes.txt", "sub/e.jpg"}) {
        fs::create_directories(fs::path(dir.file(name)).parent_path());
        fs::copy_file(photo, dir.file(name));
    }
    fs::create_directory(dir.file("x.jpg"));
    fs::create_directory_symlink(dir.path(), dir.file("sub/loop"));
    const Outcome run = Audit({".", "d.png", "missing.jpg"}, dir.path().string());
    EXPECT_EQ(run.out,
              "./a.jpe\tPassed\t图像审核成功！\n"
              "./b.JPG\tPassed\t图像审核成功！\n"
              "./c.Jpeg\tPassed\t图像审核成功！\n"
              "./sub/e.jpg\tPassed\t图像审核成功！\n"
              "d.png\tPassed\t图像审核成功！\n"
              "missing.jpg\tBadFormat\t文件格式不符合要求！\n");
    EXPECT_EQ(run.status, 1);
}

TEST(Command, SaveWritesPassedPhotosOnceEachAndLogsInRunLogFormat) {
    TempDir dir;
    const std::string saved = dir.file("saved");
    fs::create_directory(saved);
    const std::string log = dir.file("audit.log");
    const Outcome run = Audit({"--save", saved, "--log", log, "pass_red_test2_295x413.jpg",
                           "bg_green_test3.jpg", "pass_red_test2_295x413.jpg"});
    EXPECT_EQ(run.status, 1) << run.err;
    const auto reference = ReadBytes(TestData("expected-saved/pass_red_test2_295x413.jpg"));
    EXPECT_EQ(ReadBytes(saved + "/pass_red_test2_295x413.jpg"), reference);
    EXPECT_EQ(ReadBytes(saved + "/pass_red_test2_295x413-2.jpg"), reference);
    EXPECT_EQ(std::distance(fs::directory_iterator(saved), fs::directory_iterator()), 2);

    const std::vector<std::string> lines = Lines(ReadText(log));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].substr(19), "\tbg_green_test3.jpg不是纯背景，或者不是红蓝白！\r");
}

TEST(Command, ExitStatus) {
    EXPECT_EQ(Audit({"pass_red_test2_295x413.jpg"}).status, 0);
    EXPECT_EQ(Audit({"bg_green_test3.jpg"}).status, 1);
    EXPECT_EQ(Audit({}).status, 2);
    EXPECT_EQ(Audit({"--frobnicate", "x.jpg"}).status, 2);
    EXPECT_EQ(Audit({"--jobs", "0", "x.jpg"}).status, 2);
    EXPECT_EQ(Audit({"--save", "/nonexistent/folder", "x.jpg"}).status, 2);
    const Outcome noCascade = Audit({"--cascade", "/nonexistent/cascade.xml", "x.jpg"});
    EXPECT_EQ(noCascade.status, 2);
    EXPECT_EQ(noCascade.out, "");
    const Outcome help = Audit({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--jobs N"), std::string::npos);
}

TEST(Command, InterruptFinishesThePhotosUnderWayAndLeavesNoPartialFile) {
    TempDir dir;
    const std::string photos = dir.file("photos");
    const std::string saved = dir.file("saved");
    fs::create_directories(photos);
    fs::create_directories(saved);
    for (int i = 0; i < 200; ++i) {
        fs::copy_file(TestData("pass_white_test1_358x441.jpg"),
                      photos + "/p" + std::to_string(1000 + i) + ".jpg");
    }
    TempDir scratch;
    const pid_t child = Start({"--jobs", "2", "--save", saved, photos}, dir.path().string(), scratch);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Lines(ReadText(scratch.file("out"))).size() < 3 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    kill(child, SIGINT);
    const Outcome run = Finish(child, scratch);
    EXPECT_EQ(run.status, 130) << run.err;
    const std::vector<std::string> lines = Lines(run.out);
    EXPECT_LT(lines.size(), 200u);
    EXPECT_EQ(run.out.back(), '\n');
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i], photos + "/p" + std::to_string(1000 + i) + ".jpg\tPassed\t图像审核成功！");
    }
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(saved)) {
        ++files;
        EXPECT_EQ(entry.path().extension(), ".jpg") << entry.path();
        EXPECT_EQ(fs::file_size(entry.path()),
                  fs::file_size(saved + "/p1000.jpg")) << entry.path();
    }
    EXPECT_EQ(files, lines.size());
    EXPECT_NE(run.err.find("(interrupted)"), std::string::npos) << run.err;
}

}  // namespace
