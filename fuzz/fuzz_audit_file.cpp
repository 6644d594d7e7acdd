// fuzz_audit_file: audits arbitrary bytes as a photo file's content, exactly as vetrix-audit
// does. Whatever the bytes, the audit must end in exactly one verdict, with a normalised photo of
// the right size when it passes, and without a crash, a sanitizer report or a hang.
//
// The audit's pixel limit is lowered for the run: a few bytes can announce a picture of hundreds
// of megapixels, which the decoder would then fill and the detector scan for minutes. Large
// photos are audited by the tests and the benchmarks; here they only cost speed.

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <opencv2/core/utility.hpp>

#include "engine/Audit.h"

namespace {

constexpr std::uint64_t kPixelLimit = 4194304;  // 4 megapixels

cv::CascadeClassifier* g_cascade = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    (void)argc;
    (void)argv;
    cv::setNumThreads(1);
    g_cascade = new cv::CascadeClassifier;
    const std::string file = FindFaceCascade();
    if (file.empty() || !g_cascade->load(file)) {
        std::fprintf(stderr, "fuzz_audit_file: no face cascade could be loaded\n");
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    AuditOptions options;
    options.maxPixels = kPixelLimit;
    const AuditResult result =
        AuditPhotoBytes({data, size}, CascadeFaceFinder(*g_cascade), options);
    const int state = result.state;
    if (state < Passed || state > BadSize) {
        std::fprintf(stderr, "audit ended in state %d\n", state);
        std::abort();
    }
    if (state == Passed) {
        const cv::Mat& normalised = result.normalised;
        const std::optional<CropPlan>& crop = result.details.crop;
        if (!crop || normalised.type() != CV_8UC3 || normalised.cols != crop->width ||
            normalised.rows != crop->height || crop->height != static_cast<int>(1.4 * crop->width)) {
            std::fprintf(stderr, "passed without a normalised photo of the planned size\n");
            std::abort();
        }
    } else if (!result.normalised.empty()) {
        std::fprintf(stderr, "a normalised photo without a pass\n");
        std::abort();
    }
    return 0;
}
