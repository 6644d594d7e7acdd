#include "engine/Decode.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>
#include <png.h>

#include <opencv2/imgcodecs.hpp>

#if defined(__linux__) && !defined(__EMSCRIPTEN__)
#include <dlfcn.h>
#define VETRIX_CAPTURE_JPEG_MESSAGES 1
#endif

namespace {

enum class Format { Other, Jpeg, Png, Bmp };

// An open file, closed when it goes.
class File {
public:
    explicit File(std::FILE* fp) : m_fp(fp) {}
    ~File() {
        if (m_fp != nullptr) {
            std::fclose(m_fp);
        }
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    std::FILE* get() const { return m_fp; }

private:
    std::FILE* m_fp;
};

// Opens `path` for reading only when it is a regular file. The check is made on the opened
// file, so that a name swapped for a FIFO or device in between cannot block the reader;
// O_NONBLOCK keeps the open itself from waiting for a FIFO's writer.
std::FILE* OpenRegularFile(const std::string& path) {
    if (path.empty()) {
        return nullptr;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    std::FILE* fp = ::fdopen(fd, "rb");
    if (fp == nullptr) {
        ::close(fd);
    }
    return fp;
}

Format Sniff(std::FILE* fp) {
    unsigned char head[8] = {};
    const std::size_t got = std::fread(head, 1, sizeof head, fp);
    std::rewind(fp);
    static constexpr unsigned char kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (got >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) {
        return Format::Jpeg;
    }
    if (got == 8 && std::memcmp(head, kPng, 8) == 0) {
        return Format::Png;
    }
    if (got >= 2 && head[0] == 'B' && head[1] == 'M') {
        return Format::Bmp;
    }
    return Format::Other;
}

struct JpegErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

[[noreturn]] void JpegErrorExit(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<JpegErrorManager*>(cinfo->err)->jump, 1);
}

// The header is read again by the decoder, which reports its warnings then.
void JpegQuiet(j_common_ptr) {}

// Kept free of objects with destructors: libjpeg reports errors by longjmp.
bool JpegHeaderSize(std::FILE* fp, cv::Size& size) {
    jpeg_decompress_struct cinfo{};
    JpegErrorManager err{};
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = JpegErrorExit;
    err.pub.output_message = JpegQuiet;
    if (setjmp(err.jump) != 0) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, fp);
    const int header = jpeg_read_header(&cinfo, TRUE);
    if (header == JPEG_HEADER_OK) {
        size = cv::Size(static_cast<int>(cinfo.image_width), static_cast<int>(cinfo.image_height));
    }
    jpeg_destroy_decompress(&cinfo);
    return header == JPEG_HEADER_OK;
}

[[noreturn]] void PngErrorExit(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void PngQuiet(png_structp, png_const_charp) {}

bool PngHeaderSize(std::FILE* fp, cv::Size& size) {
    png_structp png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, PngErrorExit, PngQuiet);
    if (png == nullptr) {
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (info == nullptr || setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_init_io(png, fp);
    png_read_info(png, info);
    // libpng itself refuses sides over 1 000 000 (its default user limit), as the decoder will.
    size = cv::Size(static_cast<int>(png_get_image_width(png, info)),
                    static_cast<int>(png_get_image_height(png, info)));
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

std::int64_t LittleEndian(const unsigned char* p, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        v = (v << 8) | p[i];
    }
    if (bytes == 4) {
        return static_cast<std::int32_t>(v);
    }
    return static_cast<std::int64_t>(v);
}

// BMP has no header library of its own; its width and height sit at fixed places: after the
// 14-byte file header, a 12-byte OS/2 header holds 16-bit sides, any longer one 32-bit sides,
// the height negative for rows stored top down. Shorter headers are refused, as the decoder
// refuses them.
bool BmpHeaderSize(std::FILE* fp, cv::Size& size) {
    unsigned char head[26] = {};
    if (std::fread(head, 1, sizeof head, fp) != sizeof head) {
        return false;
    }
    const std::int64_t infoSize = LittleEndian(head + 14, 4);
    std::int64_t width = 0;
    std::int64_t height = 0;
    if (infoSize == 12) {
        width = LittleEndian(head + 18, 2);
        height = LittleEndian(head + 20, 2);
    } else if (infoSize >= 16) {
        width = LittleEndian(head + 18, 4);
        height = LittleEndian(head + 22, 4);
    } else {
        return false;
    }
    height = height < 0 ? -height : height;
    if (width <= 0 || height <= 0) {
        return false;
    }
    size = cv::Size(static_cast<int>(width), static_cast<int>(height));
    return true;
}

bool HeaderSize(std::FILE* fp, Format format, cv::Size& size) {
    switch (format) {
        case Format::Jpeg: return JpegHeaderSize(fp, size);
        case Format::Png: return PngHeaderSize(fp, size);
        case Format::Bmp: return BmpHeaderSize(fp, size);
        case Format::Other: break;
    }
    return false;
}

// OpenCV decodes by name. The name of the descriptor already checked is used where the system
// offers one, so that the file decoded is the file measured, even if the name is meanwhile
// given to another.
std::string NameOfOpenFile(std::FILE* fp, const std::string& path) {
    const std::string byDescriptor = "/proc/self/fd/" + std::to_string(::fileno(fp));
    return ::access(byDescriptor.c_str(), R_OK) == 0 ? byDescriptor : path;
}

#ifdef VETRIX_CAPTURE_JPEG_MESSAGES
// OpenCV's JPEG decoder keeps libjpeg's standard message output, which prints to stderr with
// no file name. The engine provides jpeg_std_error itself (taking precedence over libjpeg's,
// for OpenCV's decoder too), lets libjpeg fill in the manager, and redirects the output of
// messages to the photo being read on this thread; elsewhere libjpeg's own output serves.
thread_local std::vector<std::string>* t_jpegMessages = nullptr;

using StdErrorFunction = jpeg_error_mgr* (*)(jpeg_error_mgr*);
using OutputMessageFunction = void (*)(j_common_ptr);

StdErrorFunction LibjpegStdError() {
    static const auto real = reinterpret_cast<StdErrorFunction>(dlsym(RTLD_NEXT, "jpeg_std_error"));
    return real;
}

OutputMessageFunction g_libjpegOutputMessage = nullptr;

void OutputJpegMessage(j_common_ptr cinfo) {
    if (t_jpegMessages == nullptr) {
        if (g_libjpegOutputMessage != nullptr) {
            g_libjpegOutputMessage(cinfo);
        }
        return;
    }
    char text[JMSG_LENGTH_MAX] = {};
    (*cinfo->err->format_message)(cinfo, text);
    t_jpegMessages->emplace_back(text);
}

// Collects libjpeg's messages into `messages` while it lives.
class JpegMessageCollector {
public:
    explicit JpegMessageCollector(std::vector<std::string>& messages) : m_previous(t_jpegMessages) {
        t_jpegMessages = &messages;
    }
    ~JpegMessageCollector() { t_jpegMessages = m_previous; }
    JpegMessageCollector(const JpegMessageCollector&) = delete;
    JpegMessageCollector& operator=(const JpegMessageCollector&) = delete;

private:
    std::vector<std::string>* m_previous;
};
#else
class JpegMessageCollector {
public:
    explicit JpegMessageCollector(std::vector<std::string>&) {}
};
#endif

}  // namespace

#ifdef VETRIX_CAPTURE_JPEG_MESSAGES
extern "C" jpeg_error_mgr* jpeg_std_error(jpeg_error_mgr* err) {
    const StdErrorFunction real = LibjpegStdError();
    if (real == nullptr) {
        std::abort();
    }
    real(err);
    // Every manager gets the same static function from libjpeg; remembering one is enough.
    g_libjpegOutputMessage = err->output_message;
    err->output_message = OutputJpegMessage;
    return err;
}
#endif

DecodedPhoto ReadPhoto(const std::string& path, std::uint64_t maxPixels) {
    DecodedPhoto photo;
    const File file(OpenRegularFile(path));
    if (file.get() == nullptr) {
        return photo;
    }
    const Format format = Sniff(file.get());
    cv::Size size;
    if (!HeaderSize(file.get(), format, size)) {
        return photo;
    }
    photo.declaredSize = size;
    if (static_cast<std::uint64_t>(size.width) * static_cast<std::uint64_t>(size.height) >
        maxPixels) {
        photo.status = DecodeStatus::TooManyPixels;
        return photo;
    }
    try {
        const JpegMessageCollector collect(photo.warnings);
        photo.image = cv::imread(NameOfOpenFile(file.get(), path), cv::IMREAD_COLOR);
    } catch (const cv::Exception& e) {
        if (e.code == cv::Error::StsNoMem) {
            throw;
        }
        // OpenCV throws, rather than returning an empty image, for sides beyond its own limits.
        photo.image.release();
    }
    if (!photo.image.empty()) {
        photo.status = DecodeStatus::Decoded;
    }
    return photo;
}

cv::Mat DecodePhoto(const std::string& path) { return ReadPhoto(path).image; }

std::optional<cv::Size> ReadPhotoHeaderSize(const std::string& path) {
    const File file(OpenRegularFile(path));
    if (file.get() == nullptr) {
        return std::nullopt;
    }
    cv::Size size;
    if (!HeaderSize(file.get(), Sniff(file.get()), size)) {
        return std::nullopt;
    }
    return size;
}
