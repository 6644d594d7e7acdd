// The engine as the page's Web Worker calls it: one audit at a time on the bytes of the photo
// the worker was handed, with the run log kept in the module's in-memory file system.

#include <emscripten/emscripten.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/AuditJson.h"
#include "present/Compose.h"
#include "engine/Export.h"
#include "engine/Audit.h"
#include "log/Log.h"

namespace {

// The page's engine: the face cascade, and the verdict on screen with its normalised photo.
struct Page {
    cv::CascadeClassifier cascade;
    int state = Idle;
    AuditResult result;
};

Page& ThePage() {
    static Page page;
    return page;
}

std::string g_failure;  // why the last audit reached no verdict

std::vector<std::uint8_t> g_picture;  // RGBA of the last picture
std::vector<std::uint8_t> g_saved;    // bytes of the last save
std::string g_json;

}  // namespace

extern "C" {

/// Loads the face cascade from `cascadeFile`, opens the run log `logFile` and writes its
/// start-up line, as the window does when it opens. Returns 1 when the cascade loaded.
EMSCRIPTEN_KEEPALIVE int vetrix_start(const char* cascadeFile, const char* logFile) {
    bool loaded = false;
    try {
        loaded = ThePage().cascade.load(cascadeFile);
    } catch (const std::exception&) {
        loaded = false;  // a damaged cascade is as good as a missing one
    }
    if (theLog.Open(logFile) != nullptr) {
        theLog.Print("%s\r\n", "系统启动");
    }
    return loaded ? 1 : 0;
}

/// Audits the `length` bytes at `bytes` (a photo file's content, audited where it lies),
/// logged under `fileName`; returns the verdict code, or -1 when the audit reached no verdict
/// (out of memory, a failure inside OpenCV): then the state is Idle, nothing was logged and
/// vetrix_failure() says why.
EMSCRIPTEN_KEEPALIVE int vetrix_audit(const std::uint8_t* bytes, int length,
                                      const char* fileName) {
    Page& page = ThePage();
    page.state = Idle;
    page.result = AuditResult{};
    try {
        page.result = AuditPhotoBytes({bytes, static_cast<std::size_t>(std::max(length, 0))},
                                      CascadeFaceFinder(page.cascade));
        page.state = page.result.state;
        theLog.Print("%s", VerdictLogLine(fileName, page.state).c_str());
        return page.state;
    } catch (const std::bad_alloc&) {
        g_failure = "内存不足";
    } catch (const std::exception& e) {
        g_failure = e.what();
    }
    return -1;
}

/// Why the last audit reached no verdict.
EMSCRIPTEN_KEEPALIVE const char* vetrix_failure() {
    return g_failure.c_str();
}

/// The last audit as the JSON object of the command line's --json (without the file key).
EMSCRIPTEN_KEEPALIVE const char* vetrix_audit_json() {
    const Page& page = ThePage();
    g_json = AuditJson(std::nullopt, page.state, page.result.details);
    return g_json.c_str();
}

/// The window's picture for the current state, drawn from `skinFile`: the skin itself, or with
/// the normalised photo composed into it after a Passed verdict. Returns the RGBA pixels
/// (width x height, row by row) or null when the skin does not decode; valid until the next
/// call.
EMSCRIPTEN_KEEPALIVE const std::uint8_t* vetrix_picture(const char* skinFile, int* width,
                                                        int* height) {
    const Page& page = ThePage();
    const cv::Mat skin = cv::imread(skinFile, cv::IMREAD_COLOR);
    if (skin.empty()) {
        return nullptr;
    }
    const cv::Mat picture =
        ComposeResultPicture(skin, page.state == Passed ? page.result.normalised : cv::Mat());
    cv::Mat rgba;
    cv::cvtColor(picture, rgba, cv::COLOR_BGR2RGBA);
    g_picture.assign(rgba.data, rgba.data + rgba.total() * rgba.elemSize());
    *width = rgba.cols;
    *height = rgba.rows;
    return g_picture.data();
}

/// The bytes the window would save for the last Passed verdict; null (and 0) when there is
/// nothing to save. Valid until the next call.
EMSCRIPTEN_KEEPALIVE const std::uint8_t* vetrix_saved_bytes(int* length) {
    const Page& page = ThePage();
    g_saved = page.state == Passed && !page.result.normalised.empty()
                  ? EncodeApprovedPhoto(page.result.normalised)
                  : std::vector<std::uint8_t>();
    *length = static_cast<int>(g_saved.size());
    return g_saved.empty() ? nullptr : g_saved.data();
}

/// Back to the idle state, as after a save or on exit: the photo is forgotten.
EMSCRIPTEN_KEEPALIVE void vetrix_reset() {
    Page& page = ThePage();
    page.state = Idle;
    page.result = AuditResult{};
}

}  // extern "C"
