// The engine as the page's Web Worker calls it: one audit at a time on files that the worker
// has written into the module's in-memory file system, with the run log kept there too.

#include <emscripten/emscripten.h>

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/AuditJson.h"
#include "present/Compose.h"
#include "engine/Export.h"
#include "engine/PhotoAudit.h"
#include "log/Log.h"

namespace {

// The page shows the save button and repaints from the verdict it is handed, so the two
// requests of the ladder have nothing to act on here.
class PageAudit : public CPhotoAudit {
protected:
    void WriteVerdictLine(const std::string& line) override { theLog.Print("%s", line.c_str()); }
    void ShowSaveButton(bool) override {}
    void RequestRepaint() override {}
};

PageAudit& Audit() {
    static PageAudit audit;
    return audit;
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
    PageAudit& audit = Audit();
    // Each photo gets the same verdict whatever was audited before it.
    audit.m_bRestartRandomState = true;
    audit.m_strCascadeFile = cascadeFile;
    audit.m_strSystemCascadeFile.clear();
    const bool loaded = audit.LoadFaceCascade();
    if (theLog.Open(logFile) != nullptr) {
        theLog.Print("%s\r\n", "系统启动");
    }
    return loaded ? 1 : 0;
}

/// Audits the file at `path`, logged under `fileName`; returns the verdict code, or -1 when
/// the audit reached no verdict (out of memory, a failure inside OpenCV): then the state is
/// Idle, nothing was logged and vetrix_failure() says why.
EMSCRIPTEN_KEEPALIVE int vetrix_audit(const char* path, const char* fileName) {
    PageAudit& audit = Audit();
    try {
        audit.AuditFile(path, fileName);
        return audit.m_nState;
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
    g_json = AuditJson(std::nullopt, Audit());
    return g_json.c_str();
}

/// The window's picture for the current state, drawn from `skinFile`: the skin itself, or with
/// the normalised photo composed into it after a Passed verdict. Returns the RGBA pixels
/// (width x height, row by row) or null when the skin does not decode; valid until the next
/// call.
EMSCRIPTEN_KEEPALIVE const std::uint8_t* vetrix_picture(const char* skinFile, int* width,
                                                        int* height) {
    const PageAudit& audit = Audit();
    const cv::Mat skin = cv::imread(skinFile, cv::IMREAD_COLOR);
    if (skin.empty()) {
        return nullptr;
    }
    const cv::Mat picture =
        ComposeResultPicture(skin, audit.m_nState == Passed ? audit.m_matResult : cv::Mat());
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
    const PageAudit& audit = Audit();
    g_saved = audit.m_nState == Passed && !audit.m_matResult.empty()
                  ? EncodeApprovedPhoto(audit.m_matResult)
                  : std::vector<std::uint8_t>();
    *length = static_cast<int>(g_saved.size());
    return g_saved.empty() ? nullptr : g_saved.data();
}

/// Back to the idle state, as after a save or on exit: the photo is forgotten.
EMSCRIPTEN_KEEPALIVE void vetrix_reset() {
    PageAudit& audit = Audit();
    audit.m_nState = Idle;
    audit.m_matResult.release();
}

}  // extern "C"
