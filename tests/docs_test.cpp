// The documents say the engine's facts once each, and what they say is what the engine holds:
// each fact below is read from the code and looked for in the documents.

#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "engine/Audit.h"
#include "engine/Why.h"
#include "test_support.h"

namespace {

std::string Document(const std::string& relative) {
    const std::string path = std::string(VETRIX_SOURCE_DIR) + "/" + relative;
    EXPECT_TRUE(std::filesystem::exists(path)) << path;
    return ReadText(path);
}

// How many times `text` holds `fact`.
std::size_t Count(const std::string& text, const std::string& fact) {
    std::size_t n = 0;
    for (std::size_t at = text.find(fact); at != std::string::npos;
         at = text.find(fact, at + fact.size())) {
        ++n;
    }
    return n;
}

TEST(Documents, TheCauseTableIsTheEngines) {
    const std::string admin = Document("docs/administration.md");
    for (int i = 1; i < kWhyCauseCount; ++i) {
        const auto cause = static_cast<WhyCause>(i);
        const std::string row = std::string("| `") + WhyCauseName(cause) + "` | ";
        const std::size_t at = admin.find(row);
        ASSERT_NE(at, std::string::npos) << WhyCauseName(cause) << " has no row";
        const std::string line = admin.substr(at, admin.find('\n', at) - at);
        EXPECT_NE(line.find(std::string(" | ") + WhyHint(cause)), std::string::npos)
            << WhyCauseName(cause) << ": the row's hint is not the engine's: " << line;
        EXPECT_EQ(Count(admin, row), 1u) << WhyCauseName(cause) << " has two rows";
    }
}

TEST(Documents, LimitsAreTheEngines) {
    const std::string admin = Document("docs/administration.md");
    // The pixel limit, in the words the page uses, said once in the limits section.
    ASSERT_EQ(kDefaultMaxPixels % 1'000'000, 0u);
    EXPECT_EQ(Count(admin, std::to_string(kDefaultMaxPixels / 1'000'000) + " million"), 1u);
    EXPECT_NE(admin.find("`kMaxJpegScans` (" + std::to_string(kMaxJpegScans) + ")"),
              std::string::npos);
    EXPECT_NE(admin.find("`kMaxPhotoFileBytes` (" + std::to_string(kMaxPhotoFileBytes >> 30) +
                         " GiB)"),
              std::string::npos);
    EXPECT_NE(Document("README.md").find(std::to_string(kMinPhotoFileLength) + " bytes"),
              std::string::npos);

    // The memory estimate: bytes a pixel where deployments size memory, MiB per megapixel
    // where people read it.
    char mib[48];
    std::snprintf(mib, sizeof mib, "%.1f MiB per megapixel",
                  kAuditBytesPerPixel * 1e6 / (1 << 20));
    EXPECT_NE(admin.find(mib), std::string::npos) << mib;
    const std::string deployment = Document("deploy/kubernetes/deployment.yaml");
    EXPECT_NE(deployment.find(std::to_string(static_cast<int>(kAuditBytesPerPixel)) +
                              " bytes a pixel"),
              std::string::npos);
}

TEST(Documents, TheFormatsAreTheOnesDecoded) {
    // The README's verdict table names every format the native build decodes, and only those.
    const std::string readme = Document("README.md");
    const std::size_t row = readme.find("| `BadFormat` |");
    ASSERT_NE(row, std::string::npos);
    const std::string line = readme.substr(row, readme.find('\n', row) - row);
    for (const char* format : {"JPEG", "PNG", "BMP", "TIFF", "WebP"}) {
        EXPECT_NE(line.find(format), std::string::npos) << format;
    }
    EXPECT_EQ(DecodedFormatsText(), "JPEG, PNG, BMP, TIFF, WebP");
    // The page's engine is built without TIFF and WebP; its footnote names what it reads.
    const std::string page = Document("web/site/index.html");
    const std::size_t note = page.find("id=\"footnote\"");
    ASSERT_NE(note, std::string::npos);
    const std::string footnote = page.substr(note, page.find("</p>", note) - note);
    for (const char* format : {"JPEG", "PNG", "BMP"}) {
        EXPECT_NE(footnote.find(format), std::string::npos) << format;
    }
    EXPECT_EQ(footnote.find("TIFF"), std::string::npos);
    for (const char* manual : {"packaging/vetrix-audit.1", "packaging/vetrix-serve.1"}) {
        const std::string text = Document(manual);
        EXPECT_NE(text.find("JPEG, PNG, BMP, TIFF"), std::string::npos) << manual;
    }
}

TEST(Documents, TheReadmeIsShortAndStartsWithTheCommands) {
    const std::string readme = Document("README.md");
    EXPECT_LT(Count(readme, "\n"), 150u);
    // A command that checks a photo within the first 30 lines.
    std::size_t lineEnd = 0;
    for (int line = 0; line < 30 && lineEnd != std::string::npos; ++line) {
        lineEnd = readme.find('\n', lineEnd + 1);
    }
    const std::string head = readme.substr(0, lineEnd);
    EXPECT_NE(head.find("scripts/start.sh"), std::string::npos);
    EXPECT_NE(head.find("scripts/test.sh"), std::string::npos);
}

}  // namespace
