// fuzz_audit_file: audits arbitrary bytes as a photo file, exactly as vetrix-audit does. Whatever
// the bytes, the audit must end in exactly one verdict, with a normalised photo of the right size
// when it passes, and without a crash, a sanitizer report or a hang.
//
// The audit's pixel limit is lowered for the run: a few bytes can announce a picture of hundreds
// of megapixels, which the decoder would then fill and the detector scan for minutes. Large
// photos are audited by the tests and the benchmarks; here they only cost speed.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <opencv2/core/utility.hpp>

#include "engine/PhotoAudit.h"

namespace {

constexpr std::uint64_t kPixelLimit = 4194304;  // 4 megapixels

class FuzzAudit : public CPhotoAudit {
public:
    int verdictLines = 0;

protected:
    void WriteVerdictLine(const std::string&) override { ++verdictLines; }
    void ShowSaveButton(bool) override {}
    void RequestRepaint() override {}
};

FuzzAudit* g_audit = nullptr;
std::string g_photoPath;

void RemovePhotoFile() {
    if (!g_photoPath.empty()) {
        std::remove(g_photoPath.c_str());
    }
}

bool WritePhotoFile(const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(g_photoPath.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && written;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    (void)argc;
    (void)argv;
    cv::setNumThreads(1);
    g_audit = new FuzzAudit;
    g_audit->m_nMaxPixels = kPixelLimit;
    if (!g_audit->LoadFaceCascade()) {
        std::fprintf(stderr, "fuzz_audit_file: no face cascade could be loaded\n");
        std::abort();
    }
    const char* tmp = std::getenv("TMPDIR");
    g_photoPath = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                  "/vetrix-fuzz-photo-" + std::to_string(getpid()) + ".jpg";
    std::atexit(RemovePhotoFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!WritePhotoFile(data, size)) {
        std::fprintf(stderr, "fuzz_audit_file: cannot write %s\n", g_photoPath.c_str());
        std::abort();
    }
    g_audit->verdictLines = 0;
    g_audit->m_nState = Idle;
    g_audit->AuditFile(g_photoPath, "photo.jpg");

    const int state = g_audit->m_nState;
    if (g_audit->verdictLines != 1 || state < Passed || state > BadSize) {
        std::fprintf(stderr, "audit ended with %d verdict lines and state %d\n",
                     g_audit->verdictLines, state);
        std::abort();
    }
    if (state == Passed) {
        const cv::Mat& result = g_audit->m_matResult;
        const std::optional<CropPlan>& crop = g_audit->m_details.crop;
        if (!crop || result.type() != CV_8UC3 || result.cols != crop->tW ||
            result.rows != crop->tH || crop->tH != static_cast<int>(1.4 * crop->tW)) {
            std::fprintf(stderr, "passed without a normalised photo of the planned size\n");
            std::abort();
        }
    }
    return 0;
}
