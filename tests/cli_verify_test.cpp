#include <cstdlib>
#include <filesystem>
#include <sstream>

#include <sys/wait.h>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;

struct CommandRun {
    int status = -1;
    std::vector<std::string> lines;
    std::string err;
};

// Runs vetrix-audit in the test data folder through the shell, arguments quoted by the caller.
CommandRun VetrixAudit(const std::string& arguments) {
    TempDir scratch;
    const std::string command = "cd '" + std::string(VETRIX_TEST_DATA) + "' && '" + VETRIX_BIN_DIR +
                                "/vetrix-audit' " + arguments + " >'" + scratch.file("out") +
                                "' 2>'" + scratch.file("err") + "'";
    const int status = std::system(command.c_str());
    CommandRun run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::istringstream out(ReadText(scratch.file("out")));
    for (std::string line; std::getline(out, line);) {
        run.lines.push_back(line);
    }
    run.err = ReadText(scratch.file("err"));
    return run;
}

TEST(VerifyCommand, EverySavedPhotoVerifiesAndTheExitStatusSaysSo) {
    const CommandRun saved = VetrixAudit("--verify expected-saved");
    EXPECT_EQ(saved.status, 0) << saved.err;
    ASSERT_EQ(saved.lines.size(), 11u);
    EXPECT_EQ(saved.lines[6],
              "expected-saved/pass_red_test4_240x320.jpg\tVerified\t"
              "文件的结构、尺寸和编码表与本工具的输出完全一致，并检测到人脸");

    const CommandRun mixed = VetrixAudit(
        "--verify --json expected-saved/pass_red_test4_240x320.jpg pass_red_test4_240x320.jpg "
        "missing.jpg");
    EXPECT_EQ(mixed.status, 1);
    ASSERT_EQ(mixed.lines.size(), 3u) << "the missing file gets an error line";
    EXPECT_EQ(
        mixed.lines[0],
        R"({"file": "expected-saved/pass_red_test4_240x320.jpg", "outcome": "Verified", )"
        R"("verified": true, "message": "文件的结构、尺寸和编码表与本工具的输出完全一致，并检测到人脸", "size": [215, 301], )"
        R"("faces": [[56, 85, 106, 106]], "turn": 0})");
    EXPECT_EQ(mixed.lines[1],
              R"({"file": "pass_red_test4_240x320.jpg", "outcome": "NoTrailer", )"
              R"("verified": false, "message": "文件末尾没有本工具的标记", "size": null, )"
              R"("faces": [], "turn": 0})");
    EXPECT_EQ(mixed.lines[2].rfind(R"({"file": "missing.jpg", "error": "cannot read: )", 0), 0u)
        << mixed.lines[2];
}

TEST(VerifyCommand, ACommentAddedToASavedPhotoIsNamedInBothFormats) {
    // The saved photo with a comment segment right after its JFIF header (20 bytes in).
    std::vector<std::uint8_t> bytes =
        ReadBytes(TestData("expected-saved/pass_red_test4_240x320.jpg"));
    const std::vector<std::uint8_t> comment{0xFF, 0xFE, 0, 7, '<', 'p', '>', 'h', 'i'};
    bytes.insert(bytes.begin() + 20, comment.begin(), comment.end());
    TempDir dir;
    WriteBytes(dir.file("commented.jpg"), bytes);

    const CommandRun text = VetrixAudit("--verify '" + dir.file("commented.jpg") + "'");
    EXPECT_EQ(text.status, 1) << text.err;
    ASSERT_EQ(text.lines.size(), 1u);
    EXPECT_EQ(text.lines[0],
              dir.file("commented.jpg") +
                  "\tExtraSegment\t文件含有本工具不写入的段（如注释、EXIF 或其他附加数据）");

    const CommandRun json = VetrixAudit("--verify --json '" + dir.file("commented.jpg") + "'");
    ASSERT_EQ(json.lines.size(), 1u);
    EXPECT_NE(json.lines[0].find(
                  R"("outcome": "ExtraSegment", "verified": false, )"
                  R"("message": "文件含有本工具不写入的段（如注释、EXIF 或其他附加数据）", )"
                  R"("size": [215, 301], "faces": [], "turn": 0})"),
              std::string::npos)
        << json.lines[0];
}

TEST(VerifyCommand, SaveAndLogDoNotGoWithVerify) {
    EXPECT_EQ(VetrixAudit("--verify --log /dev/null expected-saved").status, 2);
}

}  // namespace
