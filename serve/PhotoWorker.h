#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/Decode.h"
#include "engine/Verify.h"

/// What one audit of a request body found.
struct AuditReply {
    int state = 0;              ///< the verdict (ResultState)
    std::string json;           ///< the audit's JSON object, without a file key
    std::vector<std::uint8_t> saved;  ///< on Passed, when asked: exactly what the window saves
};

/// The engine as one worker of the service uses it: its own face classifier, and every audit
/// started from the same fill seed, so that the same bytes get the same answer on every request
/// and every instance. Not thread-safe; one per worker thread.
class PhotoWorker {
public:
    PhotoWorker();
    ~PhotoWorker();
    PhotoWorker(const PhotoWorker&) = delete;
    PhotoWorker& operator=(const PhotoWorker&) = delete;

    /// Loads the face cascade from `cascadeFile`, or by the usual lookup when it is empty.
    bool LoadFaceCascade(const std::string& cascadeFile);

    /// Audits the photo whose file bytes are `body`, exactly as the audit of a file with these
    /// bytes. Photos with more than `maxPixels` pixels are not decoded and get BadSize. With
    /// `wantSaved`, a passed photo's saved bytes are filled in. The body is audited where it
    /// lies in memory; nothing is written anywhere. Throws std::bad_alloc or cv::Exception when
    /// the engine fails, rather than giving a verdict.
    AuditReply Audit(std::string_view body, std::uint64_t maxPixels, bool wantSaved);

    /// Verifies `body` as a photo that Vetrix saved. Throws as VerifySavedPhoto does.
    VerifyResult Verify(std::string_view body);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
