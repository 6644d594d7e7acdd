#include "serve/PhotoWorker.h"

#include <cerrno>
#include <stdexcept>

#include <sys/mman.h>
#include <unistd.h>


#include "engine/AuditJson.h"
#include "engine/Export.h"
#include "engine/PhotoAudit.h"

namespace {

// The service has no window: the verdict line, the save button and the repaint have no one to
// go to.
class ServiceAudit : public CPhotoAudit {
protected:
    void WriteVerdictLine(const std::string&) override {}
    void ShowSaveButton(bool) override {}
    void RequestRepaint() override {}
};

// The request's bytes as a file that lives in memory only: the audit's decoder and its file
// size rung then see exactly what they see for a file on disk.
class MemoryFile {
public:
    explicit MemoryFile(std::string_view bytes) {
        fd_ = ::memfd_create("vetrix-request", MFD_CLOEXEC);
        std::size_t done = 0;
        while (fd_ >= 0 && done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                ::close(fd_);
                fd_ = -1;
                break;
            }
            done += static_cast<std::size_t>(n);
        }
    }
    ~MemoryFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    bool ok() const { return fd_ >= 0; }
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

private:
    int fd_ = -1;
};

}  // namespace

struct PhotoWorker::Impl {
    ServiceAudit audit;
};

PhotoWorker::PhotoWorker() : impl_(std::make_unique<Impl>()) {
    // Every audit draws its fill colours from the generator's initial state, as the first photo
    // of a freshly started window does.
    impl_->audit.m_bRestartRandomState = true;
}
PhotoWorker::~PhotoWorker() = default;

bool PhotoWorker::LoadFaceCascade(const std::string& cascadeFile) {
    if (!cascadeFile.empty()) {
        impl_->audit.m_strCascadeFile = cascadeFile;
        impl_->audit.m_strSystemCascadeFile.clear();
    }
    return impl_->audit.LoadFaceCascade();
}

AuditReply PhotoWorker::Audit(std::string_view body, std::uint64_t maxPixels, bool wantSaved) {
    AuditReply reply;
    ServiceAudit& audit = impl_->audit;
    audit.m_nMaxPixels = maxPixels;
    const MemoryFile file(body);
    if (!file.ok()) {
        throw std::runtime_error("cannot hold the photo in memory");
    }
    audit.AuditFile(file.path(), std::string());
    reply.state = audit.m_nState;
    reply.json = AuditJson(std::nullopt, audit);
    if (wantSaved && reply.state == Passed) {
        reply.saved = EncodeApprovedPhoto(audit.m_matResult);
        if (reply.saved.empty()) {
            throw std::runtime_error("the normalised photo could not be encoded");
        }
    }
    return reply;
}

VerifyResult PhotoWorker::Verify(std::string_view body) {
    return VerifySavedPhoto(reinterpret_cast<const std::uint8_t*>(body.data()), body.size(),
                            impl_->audit.m_faceCascade);
}
