#include "serve/PhotoWorker.h"

#include <stdexcept>

#include "engine/Audit.h"
#include "engine/AuditJson.h"
#include "engine/Export.h"

struct PhotoWorker::Impl {
    cv::CascadeClassifier cascade;
};

PhotoWorker::PhotoWorker() : impl_(std::make_unique<Impl>()) {}
PhotoWorker::~PhotoWorker() = default;

bool PhotoWorker::LoadFaceCascade(const std::string& cascadeFile) {
    const std::string file = cascadeFile.empty() ? FindFaceCascade() : cascadeFile;
    try {
        return !file.empty() && impl_->cascade.load(file);
    } catch (const std::exception&) {
        return false;  // a damaged cascade is as good as a missing one
    }
}

AuditReply PhotoWorker::Audit(std::string_view body, std::uint64_t maxPixels, bool wantSaved) {
    AuditOptions options;
    options.maxPixels = maxPixels;
    const AuditResult result =
        AuditPhotoBytes({reinterpret_cast<const std::uint8_t*>(body.data()), body.size()},
                        CascadeFaceFinder(impl_->cascade), options);
    AuditReply reply;
    reply.state = result.state;
    reply.json = AuditJson(std::nullopt, result.state, result.details);
    if (wantSaved && reply.state == Passed) {
        reply.saved = EncodeApprovedPhoto(result.normalised);
        if (reply.saved.empty()) {
            throw std::runtime_error("the normalised photo could not be encoded");
        }
    }
    return reply;
}

VerifyResult PhotoWorker::Verify(std::string_view body) {
    return VerifySavedPhoto(reinterpret_cast<const std::uint8_t*>(body.data()), body.size(),
                            impl_->cascade);
}
