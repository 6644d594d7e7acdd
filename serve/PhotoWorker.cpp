#include "serve/PhotoWorker.h"

#include <csetjmp>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

#include <jpeglib.h>
#include <png.h>
#include <opencv2/core.hpp>

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

struct JpegError {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

extern "C" void JumpOnJpegError(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1);
}
extern "C" void QuietJpeg(j_common_ptr) {}

struct JpegHeader {
    jpeg_decompress_struct cinfo{};
    JpegError err{};
    std::uint64_t pixels = 0;
};

void ReadJpegHeader(JpegHeader* h, const unsigned char* data, std::size_t size) {
    h->cinfo.err = jpeg_std_error(&h->err.pub);
    h->err.pub.error_exit = JumpOnJpegError;
    h->err.pub.output_message = QuietJpeg;
    if (setjmp(h->err.jump) != 0) {
        jpeg_destroy_decompress(&h->cinfo);
        return;
    }
    jpeg_create_decompress(&h->cinfo);
    jpeg_mem_src(&h->cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(&h->cinfo, TRUE);
    h->pixels = static_cast<std::uint64_t>(h->cinfo.image_width) * h->cinfo.image_height;
    jpeg_destroy_decompress(&h->cinfo);
}

std::uint64_t PngPixels(std::string_view body) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_memory(&image, body.data(), body.size()) == 0) {
        return 0;
    }
    const std::uint64_t pixels = static_cast<std::uint64_t>(image.width) * image.height;
    png_image_free(&image);
    return pixels;
}

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

std::uint64_t AnnouncedPixels(std::string_view body) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(body.data());
    if (body.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF) {
        JpegHeader header;
        ReadJpegHeader(&header, bytes, body.size());
        return header.pixels;
    }
    if (body.size() >= 8 && png_sig_cmp(bytes, 0, 8) == 0) {
        return PngPixels(body);
    }
    return 0;
}

struct PhotoWorker::Impl {
    ServiceAudit audit;
};

PhotoWorker::PhotoWorker() : impl_(std::make_unique<Impl>()) {}
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
    // Every audit draws its fill colours from the generator's initial state, as the first photo
    // of a freshly started window does.
    cv::theRNG() = cv::RNG();
    if (AnnouncedPixels(body) > maxPixels) {
        // Refused before decoding: the ladder's size verdict, with nothing detected.
        audit.m_details = AuditDetails{};
        audit.m_nState = BadSize;
    } else {
        const MemoryFile file(body);
        if (!file.ok()) {
            throw std::runtime_error("cannot hold the photo in memory");
        }
        audit.AuditFile(file.path(), std::string());
    }
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
