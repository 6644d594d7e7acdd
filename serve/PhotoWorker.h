#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/Verify.h"

/// Largest photo, in pixels, that the service decodes by default: a 108 MP phone photo
/// (12000 x 9000) still audits.
inline constexpr std::uint64_t kServiceMaxPixels = 120'000'000;

/// What one audit of a request body found.
struct AuditReply {
    int state = 0;              ///< the verdict (ResultState)
    std::string json;           ///< the audit's JSON object, without a file key
    std::vector<std::uint8_t> saved;  ///< on Passed, when asked: exactly what the window saves
};

/// The engine as one worker of the service uses it: its own face classifier, and every audit
/// started from the random generator's initial state, so that the same bytes get the same
/// answer on every request and every instance. Not thread-safe; one per worker thread.
class PhotoWorker {
public:
    PhotoWorker();
    ~PhotoWorker();
    PhotoWorker(const PhotoWorker&) = delete;
    PhotoWorker& operator=(const PhotoWorker&) = delete;

    /// Loads the face cascade from `cascadeFile`, or by the usual lookup when it is empty.
    bool LoadFaceCascade(const std::string& cascadeFile);

    /// Audits the photo whose file bytes are `body`. Photos with more than `maxPixels` pixels
    /// are not decoded and get BadSize. With `wantSaved`, a passed photo's saved bytes are
    /// filled in. The body is held in memory only; nothing touches the disk.
    AuditReply Audit(std::string_view body, std::uint64_t maxPixels, bool wantSaved);

    /// Verifies `body` as a photo that Vetrix saved.
    VerifyResult Verify(std::string_view body);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

/// The pixel count the header of `body` announces, for JPEG and PNG (read by libjpeg and
/// libpng without decoding); 0 for other formats or an unreadable header.
std::uint64_t AnnouncedPixels(std::string_view body);
