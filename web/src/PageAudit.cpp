// The engine as the page's Web Worker calls it: one audit at a time on the bytes of the photo
// the worker was handed, with the run log kept in the module's in-memory file system.

#include <emscripten/emscripten.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/Audit.h"
#include "engine/AuditJson.h"
#include "engine/Export.h"
#include "log/Log.h"
#include "present/Compose.h"

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

// The camera's last judged frame: the file a capture keeps, and its audit. Kept apart from the
// page's verdict, which only an opened (or captured) file changes.
struct Frame {
    std::vector<std::uint8_t> file;
    int state = Idle;
    AuditResult result;
    double encodeMs = 0;
    std::string json;
};

Frame& TheFrame() {
    static Frame frame;
    return frame;
}

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
EMSCRIPTEN_KEEPALIVE int vetrix_audit(const std::uint8_t* bytes, int length, const char* fileName) {
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
EMSCRIPTEN_KEEPALIVE const char* vetrix_failure() { return g_failure.c_str(); }

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

/// Judges a camera frame: the `width` x `height` RGBA pixels at `rgba` (alpha ignored) are
/// encoded once as a lossless PNG file, and the whole ladder audits that file's bytes as it
/// audits an opened photo, so the verdict is the one that file gets wherever it is opened.
/// Nothing is logged and the page's verdict is untouched. Returns the verdict code, or -1 when
/// no verdict was reached (vetrix_failure() says why).
EMSCRIPTEN_KEEPALIVE int vetrix_judge_frame(const std::uint8_t* rgba, int width, int height) {
    Frame& frame = TheFrame();
    frame.state = Idle;
    frame.result = AuditResult{};
    frame.file.clear();
    try {
        if (width <= 0 || height <= 0) {
            throw std::invalid_argument("empty frame");
        }
        const double start = emscripten_get_now();
        const cv::Mat pixels(height, width, CV_8UC4, const_cast<std::uint8_t*>(rgba));
        cv::Mat bgr;
        cv::cvtColor(pixels, bgr, cv::COLOR_RGBA2BGR);
        // Stored, not compressed: encoding and decoding are then little more than copies, and
        // the file is never shorter than its pixels, so the file-size rung cannot reject a
        // frame that has the pixels.
        if (!cv::imencode(".png", bgr, frame.file, {cv::IMWRITE_PNG_COMPRESSION, 0})) {
            throw std::runtime_error("the frame does not encode");
        }
        frame.encodeMs = emscripten_get_now() - start;
        frame.result = AuditPhotoBytes(frame.file, CascadeFaceFinder(ThePage().cascade));
        frame.state = frame.result.state;
        return frame.state;
    } catch (const std::bad_alloc&) {
        g_failure = "内存不足";
    } catch (const std::exception& e) {
        g_failure = e.what();
    }
    frame.file.clear();
    return -1;
}

/// The last judged frame's audit as vetrix_audit_json() gives an opened photo's.
EMSCRIPTEN_KEEPALIVE const char* vetrix_frame_json() {
    Frame& frame = TheFrame();
    frame.json = AuditJson(std::nullopt, frame.state, frame.result.details);
    return frame.json.c_str();
}

/// The PNG file of the last judged frame (what a capture keeps); null (and 0) when the frame
/// reached no verdict. Valid until the next frame.
EMSCRIPTEN_KEEPALIVE const std::uint8_t* vetrix_frame_file(int* length) {
    const Frame& frame = TheFrame();
    *length = static_cast<int>(frame.file.size());
    return frame.file.empty() ? nullptr : frame.file.data();
}

/// How long encoding the last frame's file took, in milliseconds.
EMSCRIPTEN_KEEPALIVE double vetrix_frame_encode_ms() { return TheFrame().encodeMs; }

/// Back to the idle state, as after a save or on exit: the photo is forgotten.
EMSCRIPTEN_KEEPALIVE void vetrix_reset() {
    Page& page = ThePage();
    page.state = Idle;
    page.result = AuditResult{};
}

/// Lets OpenCV's parallel loops run on `count` threads (at least one). A threads engine must
/// have started that many workers (its pthread pool); other engines run on one thread whatever
/// is asked. Returns the number of threads OpenCV will use.
EMSCRIPTEN_KEEPALIVE int vetrix_threads(int count) {
    cv::setNumThreads(std::max(count, 1));
    return cv::getNumThreads();
}

}  // extern "C"
