#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "batch/Batch.h"
#include "engine/AuditJson.h"
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

// Starts vetrix-audit in `cwd` with its output going to files in `scratch`, or its standard
// output to `outFd` when that is given; `closedFd` is closed before the program starts.
pid_t Start(const std::vector<std::string>& args, const std::string& cwd, const TempDir& scratch,
            int outFd = -1, int closedFd = -1, int inFd = -1) {
    const std::string program = std::string(VETRIX_BIN_DIR) + "/vetrix-audit";
    const pid_t child = fork();
    if (child == 0) {
        const int out = outFd >= 0 ? outFd
                                   : open(scratch.file("out").c_str(),
                                          O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(scratch.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(cwd.c_str()) != 0) {
            _exit(127);
        }
        if (closedFd >= 0) {
            close(closedFd);
        }
        if (inFd >= 0 && dup2(inFd, 0) < 0) {
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
    // The reference's keys come first, as they are; only a photo that made the decoder complain
    // has more (its warnings).
    for (std::size_t i = 0; i < got.size(); ++i) {
        const std::string keys = expected[i].substr(0, expected[i].size() - 1);
        EXPECT_EQ(got[i].substr(0, keys.size()), keys) << args[i + 3];
        // The explanation follows them as "why".
        const std::string rest = got[i].substr(std::min(keys.size(), got[i].size()));
        EXPECT_EQ(rest.rfind(", \"why\": {\"cause\": ", 0), 0u) << args[i + 3];
        EXPECT_TRUE(rest.back() == '}' && (rest.find("}, \"warnings\": [") != std::string::npos ||
                                           rest.substr(rest.size() - 2) == "}}"))
            << args[i + 3];
    }
}

// What a new user tries first: nothing to audit, a folder still to be made, a wrong cascade,
// the version, a photo piped in.
TEST(Command, FirstTries) {
    TempDir dir;
    fs::create_directory(dir.file("empty"));
    fs::create_directory(dir.file("notes"));
    WriteBytes(dir.file("notes/a.txt"), {'x'});
    for (const char* folder : {"empty", "notes"}) {
        const Outcome run = Audit({folder}, dir.path().string());
        EXPECT_EQ(run.status, 1) << folder;
        EXPECT_EQ(run.out, "") << folder;
        EXPECT_NE(run.err.find("no photo found"), std::string::npos) << run.err;
    }

    Outcome run = Audit({"--save", dir.file("new"), "pass_red_test2_295x413.jpg"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("does not exist"), std::string::npos) << run.err;

    run = Audit({"--cascade", "/missing/cascade.xml", "pass_red_test2_295x413.jpg"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("/missing/cascade.xml"), std::string::npos) << run.err;

    run = Audit({"--version"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("vetrix-audit ", 0), 0u) << run.out;

    const int in = open(TestData("pass_red_test2_295x413.jpg").c_str(), O_RDONLY);
    ASSERT_GE(in, 0);
    TempDir scratch;
    run = Finish(Start({"--json", "--save", dir.path().string(), "-"}, VETRIX_TEST_DATA,
                       scratch, -1, -1, in),
                 scratch);
    close(in);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.rfind("{\"file\": \"-\", \"code\": 1,", 0), 0u) << run.out;
    EXPECT_EQ(ReadBytes(dir.file("stdin.jpg")),
              ReadBytes(TestData("expected-saved/pass_red_test2_295x413.jpg")));
    EXPECT_EQ(Audit({"-", "-"}).status, 2) << "standard input is read once";
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
    const Outcome three = Audit({"--jobs=3", "."});
    EXPECT_EQ(one.out, three.out);
    // The walk takes the endings of every format the command documents.
    const std::set<std::string> endings{".jpg", ".jpeg", ".jpe", ".png", ".bmp",
                                        ".tif", ".tiff", ".webp"};
    std::size_t photos = 0;
    for (const auto& entry : fs::recursive_directory_iterator(VETRIX_TEST_DATA)) {
        photos += endings.count(entry.path().extension().string());
    }
    EXPECT_EQ(Lines(one.out).size(), photos) << one.out;
}

TEST(Command, FoldersAreWalkedForPhotoNamesInAnyCase) {
    TempDir dir;
    const std::string photo = TestData("pass_red_test2_295x413.jpg");
    for (const std::string name :
         {"b.JPG", "a.jpe", "c.Jpeg", "d.png", "f.BMP", "g.webp", "notes.txt", "sub/e.jpg"}) {
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
              "./d.png\tPassed\t图像审核成功！\n"
              "./f.BMP\tPassed\t图像审核成功！\n"
              "./g.webp\tPassed\t图像审核成功！\n"
              "./sub/e.jpg\tPassed\t图像审核成功！\n"
              "d.png\tPassed\t图像审核成功！\n"
              "missing.jpg\tError\tcannot read: No such file or directory\n");
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
    for (const char* option : {"--save", "--log", "--cascade"}) {
        const Outcome empty = Audit({option, "", "pass_red_test2_295x413.jpg"});
        EXPECT_EQ(empty.status, 2) << option;
        EXPECT_EQ(empty.out, "") << option;
    }
    EXPECT_EQ(Audit({"-j", "2", "pass_red_test2_295x413.jpg"}).status, 0);
    EXPECT_EQ(Audit({"--jobs=x", "pass_red_test2_295x413.jpg"}).status, 2);
    const Outcome noCascade = Audit({"--cascade", "/nonexistent/cascade.xml", "x.jpg"});
    EXPECT_EQ(noCascade.status, 2);
    EXPECT_EQ(noCascade.out, "");
    const Outcome help = Audit({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--jobs N"), std::string::npos);
}

// Reads what `fd` delivers until `lines` line ends have come or the writer closes it.
std::string ReadLinesFrom(int fd, std::size_t lines) {
    std::string text;
    char buf[4096];
    while (static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) < lines) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        text.append(buf, static_cast<std::size_t>(n));
    }
    return text;
}

std::vector<std::string> FolderEntries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A folder of `count` copies of a passing photo, p1000.jpg onwards, and an empty save folder.
struct StopScene {
    TempDir dir;
    std::string photos = dir.file("photos");
    std::string saved = dir.file("saved");
    explicit StopScene(int count) {
        fs::create_directories(photos);
        fs::create_directories(saved);
        for (int i = 0; i < count; ++i) {
            fs::copy_file(TestData("pass_white_test1_358x441.jpg"),
                          photos + "/p" + std::to_string(1000 + i) + ".jpg");
        }
    }
    // Runs a save of the folder and sends `signals` once `linesFirst` lines have been printed.
    Outcome Run(std::size_t linesFirst, const std::vector<int>& signals) const {
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0) {
            return {};
        }
        TempDir scratch;
        const pid_t child = Start({"--jobs", "2", "--save", saved, photos},
                                  dir.path().string(), scratch, pipeFds[1]);
        close(pipeFds[1]);
        std::string out = ReadLinesFrom(pipeFds[0], linesFirst);
        for (const int signal : signals) {
            kill(child, signal);
        }
        out += ReadLinesFrom(pipeFds[0], SIZE_MAX);
        close(pipeFds[0]);
        Outcome run = Finish(child, scratch);
        run.out = out;
        return run;
    }
};

TEST(Command, StopSignalsFinishThePhotosUnderWayPrintTheSummaryAndSaveNoMore) {
    const StopScene scene(200);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        fs::remove_all(scene.saved);
        fs::create_directory(scene.saved);
        const Outcome run = scene.Run(3, {signal});
        EXPECT_EQ(run.status, 128 + signal) << run.err;
        EXPECT_NE(run.err.find("(interrupted)"), std::string::npos) << run.err;
        const std::vector<std::string> lines = Lines(run.out);
        ASSERT_GE(lines.size(), 3u) << signal;
        EXPECT_LT(lines.size(), 200u) << signal;
        EXPECT_EQ(run.out.back(), '\n');
        // Every line tells where its photo went; after the signal, photos only get a line.
        std::vector<std::string> named;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const std::string stem = "p" + std::to_string(1000 + i);
            const std::string head = scene.photos + "/" + stem + ".jpg\tPassed\t图像审核成功！\t";
            if (lines[i] == head + "saved: " + scene.saved + "/" + stem + ".jpg") {
                named.push_back(stem + ".jpg");
            } else {
                EXPECT_EQ(lines[i], head + "not saved: interrupted") << signal;
            }
        }
        EXPECT_EQ(FolderEntries(scene.saved), named) << "signal " << signal;
    }
}

TEST(Command, ASecondSignalEndsAtOnceAndLeavesNoTemporaryFile) {
    const StopScene scene(200);
    const Outcome run = scene.Run(1, {SIGTERM, SIGTERM});
    EXPECT_EQ(run.status, 128 + SIGTERM) << run.err;
    EXPECT_LT(Lines(run.out).size(), 200u);
    const auto first = ReadBytes(scene.saved + "/p1000.jpg");
    EXPECT_FALSE(first.empty());
    for (const std::string& name : FolderEntries(scene.saved)) {
        EXPECT_EQ(fs::path(name).extension(), ".jpg") << name;
        EXPECT_EQ(ReadBytes(scene.saved + "/" + name), first) << name;
    }
}

TEST(Command, SavesNeverReplaceAnInputNorAFileThisRunDidNotWrite) {
    TempDir dir;
    const std::string in = dir.file("in");
    fs::create_directory(in);
    const std::string photo = TestData("pass_red_test2_295x413.jpg");
    const auto original = ReadBytes(photo);
    const auto reference = ReadBytes(TestData("expected-saved/pass_red_test2_295x413.jpg"));
    fs::copy_file(photo, in + "/a.jpg");
    fs::copy_file(photo, in + "/a-2.jpg");

    // Saving into the photos' own folder: both originals stay, the copies get free names.
    Outcome run = Audit({"--save", "in", "in"}, dir.path().string());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "in/a-2.jpg\tPassed\t图像审核成功！\tsaved: in/a-2-2.jpg\n"
              "in/a.jpg\tPassed\t图像审核成功！\tsaved: in/a-3.jpg\n");
    EXPECT_EQ(ReadBytes(in + "/a.jpg"), original);
    EXPECT_EQ(ReadBytes(in + "/a-2.jpg"), original);
    EXPECT_EQ(ReadBytes(in + "/a-3.jpg"), reference);

    // --overwrite replaces a file of an earlier run, never an input, even with --overwrite.
    const std::string out = dir.file("out");
    fs::create_directory(out);
    WriteBytes(out + "/a.jpg", {1, 2, 3});
    run = Audit({"--save", "out", "in/a.jpg"}, dir.path().string());
    EXPECT_EQ(run.out, "in/a.jpg\tPassed\t图像审核成功！\tsaved: out/a-2.jpg\n");
    EXPECT_EQ(ReadBytes(out + "/a.jpg"), (std::vector<std::uint8_t>{1, 2, 3}));
    run = Audit({"--overwrite", "--save", "out", "--json", "in/a.jpg"}, dir.path().string());
    EXPECT_NE(run.out.find(", \"saved\": \"out/a.jpg\"}\n"), std::string::npos) << run.out;
    EXPECT_EQ(ReadBytes(out + "/a.jpg"), reference);
    WriteBytes(in + "/a-3.jpg", {4});
    WriteBytes(in + "/a-2-2.jpg", {5});
    run = Audit({"--overwrite", "--save", "in", "in/a.jpg", "in/a-2.jpg"}, dir.path().string());
    EXPECT_EQ(run.out,
              "in/a.jpg\tPassed\t图像审核成功！\tsaved: in/a-3.jpg\n"
              "in/a-2.jpg\tPassed\t图像审核成功！\tsaved: in/a-2-2.jpg\n");
    EXPECT_EQ(ReadBytes(in + "/a.jpg"), original);
    EXPECT_EQ(ReadBytes(in + "/a-2.jpg"), original);
    EXPECT_EQ(ReadBytes(in + "/a-3.jpg"), reference);

    // A name given as an input is not taken, even before it exists.
    run = Audit({"--save", "out", "in/a.jpg", "out/b.jpg", "out/a-3.jpg"}, dir.path().string());
    EXPECT_EQ(run.out.substr(0, run.out.find('\n')),
              "in/a.jpg\tPassed\t图像审核成功！\tsaved: out/a-4.jpg");
    EXPECT_FALSE(fs::exists(out + "/a-3.jpg"));
}

TEST(Command, NamesAreQuotedSoThatEachRecordIsOneDistinctLine) {
    TempDir dir;
    const std::string photo = TestData("pass_red_test2_295x413.jpg");
    const std::string forged = "fake.jpg\tPassed\t图像审核成功！\nx\r\033[2J.jpg";
    for (const std::string& name : {forged, std::string("e\xff\xfe.jpg"),
                                   std::string("e\xfe\xff.jpg"), std::string("a\\b.jpg")}) {
        fs::copy_file(photo, dir.file(name));
    }
    const Outcome text = Audit({"--log", "run.log", "."}, dir.path().string());
    EXPECT_EQ(text.out,
              "./a\\\\b.jpg\tPassed\t图像审核成功！\n"
              "./e\\376\\377.jpg\tPassed\t图像审核成功！\n"
              "./e\\377\\376.jpg\tPassed\t图像审核成功！\n"
              "./fake.jpg\\tPassed\\t图像审核成功！\\nx\\r\\033[2J.jpg\tPassed\t图像审核成功！\n");
    const std::vector<std::string> log = Lines(ReadText(dir.file("run.log")));
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[3].substr(19), "\tfake.jpg\\tPassed\\t图像审核成功！\\nx\\r\\033[2J.jpg" +
                                     std::string("图像审核成功！\r"));

    const Outcome json = Audit({"--json", "e\xff\xfe.jpg", "e\xfe\xff.jpg"}, dir.path().string());
    const std::vector<std::string> lines = Lines(json.out);
    ASSERT_EQ(lines.size(), 2u) << json.out;
    EXPECT_EQ(lines[0].substr(0, 57),
              "{\"file\": \"e\xEF\xBF\xBD\xEF\xBF\xBD.jpg\", \"file_escaped\": \"e\\\\377\\\\376.jpg\"");
    EXPECT_EQ(lines[1].substr(0, 57),
              "{\"file\": \"e\xEF\xBF\xBD\xEF\xBF\xBD.jpg\", \"file_escaped\": \"e\\\\376\\\\377.jpg\"");
}

TEST(Command, EveryInputGetsALineAndUnreadableOnesAnError) {
    // A folder deeper than the system lets a path name: the walk cannot look inside.
    TempDir dir;
    int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    const std::string part(200, 'd');
    std::string deep = "deep";
    ASSERT_EQ(mkdirat(fd, "deep", 0700), 0);
    int next = openat(fd, "deep", O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
    for (int i = 0; i < 22; ++i) {
        ASSERT_EQ(mkdirat(fd, part.c_str(), 0700), 0);
        next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
        deep += "/" + part;
    }
    const auto bytes = ReadBytes(TestData("pass_red_test2_295x413.jpg"));
    const int photo = openat(fd, "x.jpg", O_WRONLY | O_CREAT, 0600);
    ASSERT_EQ(write(photo, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(photo);
    close(fd);

    const Outcome run = Audit({"deep", "missing.jpg"}, dir.path().string());
    EXPECT_EQ(run.status, 1) << run.err;
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 2u) << run.out;
    EXPECT_EQ(lines[0].rfind(deep.substr(0, 4000), 0), 0u);
    EXPECT_NE(lines[0].find("\tError\t"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], "missing.jpg\tError\tcannot read: No such file or directory");
    EXPECT_NE(run.err.find("2 not audited"), std::string::npos) << run.err;
}

TEST(Command, FailedWritesAreReportedAndABrokenPipeEndsQuietly) {
    TempDir scratch;
    const int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    Outcome run = Finish(Start({"pass_red_test2_295x413.jpg"}, VETRIX_TEST_DATA, scratch, full),
                         scratch);
    close(full);
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_NE(run.err.find("cannot write to the output: No space left on device"),
              std::string::npos) << run.err;

    const StopScene scene(30);
    // The log fails as the output did; one that cannot be opened stops the run before it starts.
    run = Audit({"--log", "/dev/full", "pass_red_test2_295x413.jpg"});
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_EQ(run.out, "pass_red_test2_295x413.jpg\tPassed\t图像审核成功！\n");
    EXPECT_NE(run.err.find("cannot write to the log /dev/full"), std::string::npos) << run.err;
    const std::string fifo = scratch.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    run = Audit({"--log", fifo, "pass_red_test2_295x413.jpg"});
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("cannot open the log"), std::string::npos) << run.err;

    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    const pid_t child = Start({"--jobs", "1", scene.photos}, VETRIX_TEST_DATA, scratch, pipeFds[1]);
    close(pipeFds[1]);
    EXPECT_FALSE(ReadLinesFrom(pipeFds[0], 1).empty());
    close(pipeFds[0]);
    run = Finish(child, scratch);
    EXPECT_EQ(run.status, 128 + SIGPIPE);
    EXPECT_EQ(run.err, "");
}

TEST(Command, ClosedStandardOutputSendsNothingIntoTheLog) {
    TempDir dir;
    TempDir scratch;
    const pid_t child = Start({"--log", dir.file("run.log"), "pass_red_test2_295x413.jpg"},
                              VETRIX_TEST_DATA, scratch, -1, STDOUT_FILENO);
    const Outcome run = Finish(child, scratch);
    EXPECT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> log = Lines(ReadText(dir.file("run.log")));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].substr(19), "\tpass_red_test2_295x413.jpg图像审核成功！\r");
}

TEST(Command, DecoderWarningsAndThePixelLimit) {
    const Outcome run = Audit({"--json", "bad_truncated_half_red_test3_1050x1470.jpg"});
    EXPECT_NE(run.out.find(", \"warnings\": [\"Premature end of JPEG file\"]}"),
              std::string::npos) << run.out;
    EXPECT_EQ(run.err.rfind("vetrix-audit: bad_truncated_half_red_test3_1050x1470.jpg: warning: "
                            "Premature end of JPEG file\n", 0), 0u) << run.err;

    // 358 x 441 = 157878 pixels: exactly the limit passes, one less refuses it by size.
    const std::string photo = "pass_white_test1_358x441.jpg";
    EXPECT_EQ(Audit({"--max-pixels=157878", photo}).out, photo + "\tPassed\t图像审核成功！\n");
    EXPECT_EQ(Audit({"--max-pixels", "157877", photo}).out,
              photo + "\tBadSize\t图像大小或者尺寸不符合要求！\n");
    EXPECT_EQ(Audit({"--max-pixels", "0", photo}).status, 2);
}

TEST(Quoting, ControlCharactersAndBytesOutsideUtf8AreEscapedAndNothingElse) {
    EXPECT_EQ(QuoteFileName("照片 1 (copy).jpg"), "照片 1 (copy).jpg");
    EXPECT_EQ(QuoteFileName("a\\t.jpg"), "a\\\\t.jpg");
    EXPECT_EQ(QuoteFileName("\a\b\f\v\x01\x7f"), "\\a\\b\\f\\v\\001\\177");
    EXPECT_EQ(QuoteFileName("\xC2\x9B" "2J"), "\\302\\2332J");       // C1 CSI
    EXPECT_EQ(QuoteFileName("\xC0\xAF"), "\\300\\257");              // overlong '/'
    EXPECT_EQ(QuoteFileName("\xED\xA0\x80"), "\\355\\240\\200");      // surrogate
    EXPECT_EQ(QuoteFileName("a\xE6\x96"), "a\\346\\226");            // cut short
    EXPECT_EQ(JsonFileMembers("x.jpg"), "\"file\": \"x.jpg\"");
}

TEST(Batch, AnExceptionInAnAuditGivesThatPhotoAnErrorAndTheRunGoesOn) {
    TempDir dir;
    const std::string out = dir.file("out");
    std::FILE* outFile = std::fopen(out.c_str(), "w");
    std::FILE* errFile = std::fopen(dir.file("err").c_str(), "w");
    ASSERT_NE(outFile, nullptr);
    ASSERT_NE(errFile, nullptr);
    BatchOptions options;
    options.jobs = 2;
    const std::string good = TestData("pass_red_test2_295x413.jpg");
    const std::string bad = TestData("bg_green_test3.jpg");
    const BatchSummary summary = RunBatch(
        {good, bad, good}, options, outFile, errFile, nullptr,
        [&](const std::string& path, const FileBytes& file, const FaceFinder& faces,
            const AuditOptions& auditOptions) {
            if (path == bad) {
                throw std::bad_alloc();
            }
            return AuditReadFile(file, faces, auditOptions);
        });
    std::fclose(outFile);
    std::fclose(errFile);
    EXPECT_EQ(ReadText(out), good + "\tPassed\t图像审核成功！\n" + bad +
                                 "\tError\taudit failed: std::bad_alloc\n" + good +
                                 "\tPassed\t图像审核成功！\n");
    EXPECT_EQ(summary.errors, 1u);
    EXPECT_EQ(summary.counts[Passed], 2u);
    EXPECT_EQ(ExitStatus(summary), 1);
}

TEST(Command, WhyEndsEachTextLineWithAPlainReason) {
    const Outcome run = Audit({"--why", "pass_red_test2_295x413.jpg", "bg_green_test3.jpg",
                               "prop_face_small_0.15_blue_test2_867x377.jpg"});
    EXPECT_EQ(run.out,
              "pass_red_test2_295x413.jpg\tPassed\t图像审核成功！\tk 0.80, r 1.000, scale 1.000\n"
              "bg_green_test3.jpg\tBadBackground\t不是纯背景，或者不是红蓝白！\t"
              "背景颜色不对，请使用红色、蓝色或白色背景 (mean sample colour: hue 129, saturation "
              "0.77, value 0.70)\n"
              "prop_face_small_0.15_blue_test2_867x377.jpg\tBadProportion\t图像比例不符合要求！\t"
              "人脸太小，请靠近镜头 (face 0.163 of the width, needs 0.2 to 0.8)\n");

    // With --json the facts are in the object whatever --why says; the keys before stay.
    const Outcome json = Audit({"--json", "--why", "bg_green_test3.jpg"});
    const std::string& line = json.out;
    EXPECT_EQ(line.find("{\"file\": \"bg_green_test3.jpg\", \"code\": 2,"), 0u) << line;
    EXPECT_NE(line.find("\"why\": {\"cause\": \"BackgroundNotAccepted\", \"hint\": "
                        "\"背景颜色不对，请使用红色、蓝色或白色背景\", \"size\": {\"bytes\": 42839"),
              std::string::npos)
        << line;
    EXPECT_NE(line.find("\"proportion\": null, \"framing\": null}}"), std::string::npos) << line;
}

TEST(Command, AnnotateWritesAPngCopyAndNeverTouchesAnInput) {
    TempDir dir;
    // A JPEG under a .png name in the target folder: its annotated copy must not replace it.
    const std::string input = dir.file("portrait.png");
    fs::copy_file(TestData("pass_red_test2_295x413.jpg"), input);
    fs::copy_file(TestData("bad_truncated_headers_only_blue_test1.jpg"), dir.file("bad.jpg"));
    const std::vector<std::uint8_t> before = ReadBytes(input);
    const Outcome run = Audit({"--json", "--annotate", dir.path().string(), input,
                               dir.file("bad.jpg")});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(ReadBytes(input), before);
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 2u) << run.out;
    EXPECT_NE(lines[0].find("\"annotated\": \"" + dir.file("portrait-2.png") + "\""),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("\"state\": \"BadFormat\""), std::string::npos) << lines[1];
    EXPECT_EQ(lines[1].find("annotated"), std::string::npos) << "nothing decoded to draw on";
    EXPECT_FALSE(fs::exists(dir.file("bad.png")));

    // The copy is the photo with the marks: the chosen face (81, 119, 134, 134) in green.
    const cv::Mat drawn = DecodePhoto(dir.file("portrait-2.png"));
    ASSERT_EQ(drawn.size(), cv::Size(295, 413));
    EXPECT_EQ(drawn.at<cv::Vec3b>(119, 148), cv::Vec3b(0, 255, 0));
    EXPECT_EQ(drawn.at<cv::Vec3b>(5, 5), cv::Vec3b(0, 0, 255)) << "a red sample";

    EXPECT_EQ(Audit({"--annotate", input, input}).status, 2) << "not a folder";
}

}  // namespace
