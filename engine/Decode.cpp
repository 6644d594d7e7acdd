#include "engine/Decode.h"

#include <algorithm>
#include <cstdarg>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>
#include <png.h>

#include <opencv2/imgcodecs.hpp>

#include "platform/Files.h"

#ifdef VETRIX_WITH_TIFF_WEBP
#include <tiffio.h>
#include <webp/decode.h>
#endif

// libjpeg's messages are captured by taking the place of jpeg_std_error: by the linker's
// --wrap where everything is linked statically (the build defines VETRIX_WRAP_JPEG_STD_ERROR),
// else by defining it before the shared libjpeg on Linux.
#if defined(VETRIX_WRAP_JPEG_STD_ERROR)
#define VETRIX_CAPTURE_JPEG_MESSAGES 1
extern "C" jpeg_error_mgr* __real_jpeg_std_error(jpeg_error_mgr* err);
#define VETRIX_JPEG_STD_ERROR __wrap_jpeg_std_error
#elif defined(__linux__) && !defined(__EMSCRIPTEN__)
#include <dlfcn.h>
#define VETRIX_CAPTURE_JPEG_MESSAGES 1
#define VETRIX_JPEG_STD_ERROR jpeg_std_error
#endif

namespace {

using Bytes = std::span<const std::uint8_t>;

// What a header told before decoding.
struct Header {
    cv::Size size;
    bool transparent = false;
};

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
bool JpegHeader(Bytes bytes, Header& header) {
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
    jpeg_mem_src(&cinfo, bytes.data(), static_cast<unsigned long>(bytes.size()));
    const int read = jpeg_read_header(&cinfo, TRUE);
    if (read == JPEG_HEADER_OK) {
        header.size =
            cv::Size(static_cast<int>(cinfo.image_width), static_cast<int>(cinfo.image_height));
    }
    jpeg_destroy_decompress(&cinfo);
    return read == JPEG_HEADER_OK;
}

[[noreturn]] void PngErrorExit(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void PngQuiet(png_structp, png_const_charp) {}

struct PngReader {
    Bytes bytes;
    std::size_t next = 0;
};

void PngReadFromMemory(png_structp png, png_bytep out, png_size_t length) {
    auto* reader = static_cast<PngReader*>(png_get_io_ptr(png));
    if (length > reader->bytes.size() - reader->next) {
        png_error(png, "read past the end");
    }
    std::memcpy(out, reader->bytes.data() + reader->next, length);
    reader->next += length;
}

bool PngHeader(Bytes bytes, Header& header) {
    png_structp png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, PngErrorExit, PngQuiet);
    if (png == nullptr) {
        return false;
    }
    png_infop info = png_create_info_struct(png);
    PngReader reader{bytes};
    if (info == nullptr || setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &reader, PngReadFromMemory);
    // The text chunks are left out before decoding; here they would only cost time.
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER,
                                reinterpret_cast<png_const_bytep>("tEXt\0zTXt\0iTXt"), 3);
    png_read_info(png, info);
    // libpng itself refuses sides over 1 000 000 (its default user limit), as the decoder will.
    header.size = cv::Size(static_cast<int>(png_get_image_width(png, info)),
                           static_cast<int>(png_get_image_height(png, info)));
    header.transparent = (png_get_color_type(png, info) & PNG_COLOR_MASK_ALPHA) != 0 ||
                         png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

std::int64_t LittleEndian(const std::uint8_t* p, int bytes) {
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
bool BmpHeader(Bytes bytes, Header& header) {
    if (bytes.size() < 26) {
        return false;
    }
    const std::uint8_t* head = bytes.data();
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
    header.size = cv::Size(static_cast<int>(width), static_cast<int>(height));
    return true;
}

#ifdef VETRIX_WITH_TIFF_WEBP
// libtiff reads through these, from the bytes in memory.
struct TiffSource {
    Bytes bytes;
    std::uint64_t position = 0;
};

tsize_t TiffRead(thandle_t handle, tdata_t buffer, tsize_t size) {
    auto* source = static_cast<TiffSource*>(handle);
    if (size < 0 || source->position > source->bytes.size()) {
        return -1;
    }
    const std::size_t count = std::min(static_cast<std::size_t>(size),
                                       source->bytes.size() - source->position);
    std::memcpy(buffer, source->bytes.data() + source->position, count);
    source->position += count;
    return static_cast<tsize_t>(count);
}

tsize_t TiffWrite(thandle_t, tdata_t, tsize_t) { return -1; }

toff_t TiffSeek(thandle_t handle, toff_t offset, int whence) {
    auto* source = static_cast<TiffSource*>(handle);
    std::uint64_t base = 0;
    if (whence == SEEK_CUR) {
        base = source->position;
    } else if (whence == SEEK_END) {
        base = source->bytes.size();
    }
    if (offset > std::numeric_limits<std::uint64_t>::max() - base) {
        return static_cast<toff_t>(-1);
    }
    source->position = base + offset;
    return static_cast<toff_t>(source->position);
}

int TiffClose(thandle_t) { return 0; }

toff_t TiffSize(thandle_t handle) {
    return static_cast<toff_t>(static_cast<TiffSource*>(handle)->bytes.size());
}

int TiffNoMap(thandle_t, tdata_t*, toff_t*) { return 0; }
void TiffNoUnmap(thandle_t, tdata_t, toff_t) {}

// Returning 1 keeps the message from libtiff's process-wide handlers (stderr by default);
// OpenCV's decoder reports the same file's faults again if it gets to read it.
int TiffQuiet(TIFF*, void*, const char*, const char*, va_list) { return 1; }

// The width and length of the first image (directory) in the file: the page OpenCV decodes.
bool TiffHeader(Bytes bytes, Header& header) {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (options == nullptr) {
        throw std::bad_alloc();
    }
    TIFFOpenOptionsSetErrorHandlerExtR(options, TiffQuiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, TiffQuiet, nullptr);
    // Reading the first directory allocates what its tags declare; a hostile header gets no
    // more than this at a time.
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, 64 << 20);
    TiffSource source{bytes};
    // "m": no memory mapping; the first directory is read on opening.
    TIFF* tiff = TIFFClientOpenExt("photo", "rm", &source, TiffRead, TiffWrite, TiffSeek,
                                   TiffClose, TiffSize, TiffNoMap, TiffNoUnmap, options);
    TIFFOpenOptionsFree(options);
    if (tiff == nullptr) {
        return false;
    }
    std::uint32_t width = 0;
    std::uint32_t length = 0;
    const bool known = TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width) == 1 &&
                       TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &length) == 1;
    std::uint16_t extraCount = 0;
    std::uint16_t* extraTypes = nullptr;
    if (TIFFGetField(tiff, TIFFTAG_EXTRASAMPLES, &extraCount, &extraTypes) == 1) {
        for (std::uint16_t i = 0; i < extraCount; ++i) {
            header.transparent = header.transparent || extraTypes[i] == EXTRASAMPLE_ASSOCALPHA ||
                                 extraTypes[i] == EXTRASAMPLE_UNASSALPHA;
        }
    }
    TIFFClose(tiff);
    if (!known || width == 0 || length == 0 ||
        width > static_cast<std::uint32_t>(std::numeric_limits<int>::max()) ||
        length > static_cast<std::uint32_t>(std::numeric_limits<int>::max())) {
        return false;
    }
    header.size = cv::Size(static_cast<int>(width), static_cast<int>(length));
    return true;
}

// A WebP's size sits in its first chunks: the extended header's canvas (VP8X), or the frame
// header of a simple lossy (VP8) or lossless (VP8L) file.
bool WebPHeader(Bytes bytes, Header& header) {
    WebPBitstreamFeatures features{};
    if (WebPGetFeatures(bytes.data(), bytes.size(), &features) != VP8_STATUS_OK ||
        features.width <= 0 || features.height <= 0) {
        return false;
    }
    header.size = cv::Size(features.width, features.height);
    header.transparent = features.has_alpha != 0;
    return true;
}
#endif

bool ReadHeader(Bytes bytes, PhotoFormat format, Header& header) {
    switch (format) {
        case PhotoFormat::Jpeg: return JpegHeader(bytes, header);
        case PhotoFormat::Png: return PngHeader(bytes, header);
        case PhotoFormat::Bmp: return BmpHeader(bytes, header);
#ifdef VETRIX_WITH_TIFF_WEBP
        case PhotoFormat::Tiff: return TiffHeader(bytes, header);
        case PhotoFormat::WebP: return WebPHeader(bytes, header);
#else
        case PhotoFormat::Tiff:
        case PhotoFormat::WebP: break;
#endif
        case PhotoFormat::Unknown: break;
    }
    return false;
}

// What the marker stream of a JPEG shows without decoding.
struct JpegMarkers {
    int scans = 0;         // start-of-scan markers, counted up to the limit and one past it
    bool endFound = false;  // the end-of-image marker ends the stream before its bytes run out
};

// Walks the marker segments as libjpeg reads them: segments by their lengths, a scan's
// entropy-coded data up to the next marker that is neither a stuffed zero nor a restart, and
// stray bytes between markers skipped, as libjpeg skips them when it finds its way again.
JpegMarkers WalkJpegMarkers(Bytes bytes, int limit) {
    JpegMarkers found;
    const std::size_t n = bytes.size();
    const std::uint8_t* b = bytes.data();
    std::size_t i = 2;  // past the start-of-image marker
    while (found.scans <= limit) {
        while (i < n && b[i] != 0xFF) {
            ++i;
        }
        while (i < n && b[i] == 0xFF) {
            ++i;  // the marker's own 0xFF and any fill bytes
        }
        if (i >= n) {
            break;
        }
        const std::uint8_t marker = b[i++];
        if (marker == 0x00) {
            continue;  // not a marker: a stuffed zero among stray bytes
        }
        if (marker == 0xD9) {
            found.endFound = true;
            break;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            continue;  // markers without a segment
        }
        if (i + 1 >= n) {
            break;
        }
        const std::size_t length = (std::size_t{b[i]} << 8) | b[i + 1];
        if (length < 2) {
            continue;
        }
        i += length;
        if (marker != 0xDA) {
            continue;
        }
        ++found.scans;
        while (i + 1 < n && !(b[i] == 0xFF && b[i + 1] != 0x00 &&
                              !(b[i + 1] >= 0xD0 && b[i + 1] <= 0xD7))) {
            ++i;
        }
    }
    return found;
}

// libjpeg's reading from a file answers the end of the file with an end-of-image marker, as
// often as it is asked, and warns; its reading from memory (in OpenCV) stops instead. A stream
// cut short is therefore given those markers after its bytes, enough for the longest segment,
// so that it decodes exactly as the same file read from disk.
constexpr std::size_t kEndMarkerPadding = 65536;
constexpr const char* kPrematureEndWarning = "Premature end of JPEG file";
constexpr const char* kDataSegmentEndWarning = "Corrupt JPEG data: premature end of data segment";

std::vector<std::uint8_t> WithEndMarkers(Bytes bytes) {
    std::vector<std::uint8_t> padded;
    padded.reserve(bytes.size() + kEndMarkerPadding);
    padded.assign(bytes.begin(), bytes.end());
    for (std::size_t k = 0; k < kEndMarkerPadding / 2; ++k) {
        padded.push_back(0xFF);
        padded.push_back(0xD9);
    }
    return padded;
}

std::uint32_t BigEndian32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

// The PNG without its text chunks, or empty when it has none (or its chunks cannot be walked,
// which the decoder then reports). Text never changes a pixel, while each compressed text
// chunk costs libpng an inflate of up to megabytes, however small the file.
std::vector<std::uint8_t> PngWithoutText(Bytes bytes) {
    constexpr std::size_t kSignature = 8;
    std::vector<std::size_t> cuts;  // start and end of each text chunk
    std::size_t at = kSignature;
    while (at + 12 <= bytes.size()) {
        const std::uint64_t length = BigEndian32(bytes.data() + at);
        const std::uint64_t end = at + 12 + length;
        if (end > bytes.size()) {
            break;
        }
        const char* type = reinterpret_cast<const char*>(bytes.data() + at + 4);
        if (std::memcmp(type, "tEXt", 4) == 0 || std::memcmp(type, "zTXt", 4) == 0 ||
            std::memcmp(type, "iTXt", 4) == 0) {
            cuts.push_back(at);
            cuts.push_back(static_cast<std::size_t>(end));
        }
        if (std::memcmp(type, "IEND", 4) == 0) {
            break;
        }
        at = static_cast<std::size_t>(end);
    }
    std::vector<std::uint8_t> kept;
    if (cuts.empty()) {
        return kept;
    }
    kept.reserve(bytes.size());
    std::size_t from = 0;
    for (std::size_t i = 0; i < cuts.size(); i += 2) {
        kept.insert(kept.end(), bytes.begin() + static_cast<std::ptrdiff_t>(from),
                    bytes.begin() + static_cast<std::ptrdiff_t>(cuts[i]));
        from = cuts[i + 1];
    }
    kept.insert(kept.end(), bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end());
    return kept;
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
#ifdef VETRIX_WRAP_JPEG_STD_ERROR
    return __real_jpeg_std_error;
#else
    static const auto real = reinterpret_cast<StdErrorFunction>(dlsym(RTLD_NEXT, "jpeg_std_error"));
    return real;
#endif
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
extern "C" jpeg_error_mgr* VETRIX_JPEG_STD_ERROR(jpeg_error_mgr* err) {
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


namespace {

bool Exceeds(cv::Size size, std::uint64_t maxPixels) {
    return static_cast<std::uint64_t>(size.width) * static_cast<std::uint64_t>(size.height) >
           maxPixels;
}

}  // namespace

PhotoFormat SniffPhotoFormat(std::span<const std::uint8_t> bytes) {
    const auto starts = [&](std::initializer_list<std::uint8_t> sig, std::size_t offset = 0) {
        return bytes.size() >= offset + sig.size() &&
               std::equal(sig.begin(), sig.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
    };
    if (starts({0xFF, 0xD8, 0xFF})) {
        return PhotoFormat::Jpeg;
    }
    if (starts({0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'})) {
        return PhotoFormat::Png;
    }
    if (starts({'B', 'M'})) {
        return PhotoFormat::Bmp;
    }
    // Classic TIFF (42) and BigTIFF (43), in either byte order.
    if (starts({'I', 'I', 42, 0}) || starts({'I', 'I', 43, 0}) || starts({'M', 'M', 0, 42}) ||
        starts({'M', 'M', 0, 43})) {
        return PhotoFormat::Tiff;
    }
    if (starts({'R', 'I', 'F', 'F'}) && starts({'W', 'E', 'B', 'P'}, 8)) {
        return PhotoFormat::WebP;
    }
    return PhotoFormat::Unknown;
}

bool DecodesFormat(PhotoFormat format) {
    switch (format) {
        case PhotoFormat::Jpeg:
        case PhotoFormat::Png:
        case PhotoFormat::Bmp: return true;
        case PhotoFormat::Tiff:
        case PhotoFormat::WebP:
#ifdef VETRIX_WITH_TIFF_WEBP
            return true;
#else
            return false;
#endif
        case PhotoFormat::Unknown: break;
    }
    return false;
}

std::string DecodedFormatsText() {
    return DecodesFormat(PhotoFormat::Tiff) ? "JPEG, PNG, BMP, TIFF, WebP" : "JPEG, PNG, BMP";
}

std::vector<std::string> PhotoFileEndings() {
    std::vector<std::string> endings{".jpg", ".jpeg", ".jpe", ".png", ".bmp"};
    if (DecodesFormat(PhotoFormat::Tiff)) {
        endings.insert(endings.end(), {".tif", ".tiff", ".webp"});
    }
    return endings;
}

int CountJpegScans(std::span<const std::uint8_t> bytes, int limit) {
    return WalkJpegMarkers(bytes, limit).scans;
}

DecodedPhoto DecodePhotoBytes(std::span<const std::uint8_t> bytes, std::uint64_t maxPixels) {
    DecodedPhoto photo;
    photo.format = SniffPhotoFormat(bytes);
    // Only the formats documented are handed to a decoder: OpenCV would take others (DICOM,
    // JPEG 2000, PNM, ...) whose decoders allocate what their headers declare.
    if (!DecodesFormat(photo.format)) {
        return photo;
    }
    Header header;
    if (!ReadHeader(bytes, photo.format, header)) {
        return photo;
    }
    photo.declaredSize = header.size;
    photo.transparent = header.transparent;
    if (Exceeds(header.size, maxPixels)) {
        photo.status = DecodeStatus::TooManyPixels;
        return photo;
    }
    std::vector<std::uint8_t> replaced;
    bool cutShort = false;
    if (photo.format == PhotoFormat::Jpeg) {
        const JpegMarkers markers = WalkJpegMarkers(bytes, kMaxJpegScans);
        photo.scans = markers.scans;
        const std::uint64_t pixels = static_cast<std::uint64_t>(header.size.width) *
                                     static_cast<std::uint64_t>(header.size.height);
        if (photo.scans > kMaxJpegScans ||
            static_cast<std::uint64_t>(photo.scans) * pixels > kMaxJpegScanPixels) {
            photo.status = DecodeStatus::TooManyScans;
            return photo;
        }
        if (!markers.endFound) {
            cutShort = true;
            replaced = WithEndMarkers(bytes);
            bytes = replaced;
        }
    } else if (photo.format == PhotoFormat::Png) {
        replaced = PngWithoutText(bytes);
        if (!replaced.empty()) {
            bytes = replaced;
        }
    }
    try {
        const JpegMessageCollector collect(photo.warnings);
        // A header wrapped around the caller's bytes: cv::imdecode only reads them.
        const cv::Mat encoded(1, static_cast<int>(bytes.size()), CV_8UC1,
                              const_cast<std::uint8_t*>(bytes.data()));
        photo.image = cv::imdecode(encoded, cv::IMREAD_COLOR);
    } catch (const cv::Exception& e) {
        if (e.code == cv::Error::StsNoMem) {
            throw;
        }
        // OpenCV throws, rather than returning an empty image, for sides beyond its own limits.
        photo.image.release();
    }
    if (cutShort) {
        // Reading the file warns once that it ended, and not again when the decoder meets the
        // marker that stands for the end in the middle of a scan.
        const auto at = std::find(photo.warnings.begin(), photo.warnings.end(),
                                  std::string(kDataSegmentEndWarning));
        if (at != photo.warnings.end()) {
            *at = kPrematureEndWarning;
        } else {
            photo.warnings.emplace_back(kPrematureEndWarning);
        }
    }
    if (!photo.image.empty()) {
        photo.status = DecodeStatus::Decoded;
    }
    return photo;
}

std::optional<cv::Size> PhotoHeaderSize(std::span<const std::uint8_t> bytes) {
    Header header;
    try {
        if (!ReadHeader(bytes, SniffPhotoFormat(bytes), header)) {
            return std::nullopt;
        }
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    return header.size;
}

DecodedPhoto ReadPhoto(const std::string& path, std::uint64_t maxPixels) {
    const FileBytes file = ReadFileBytes(path, kMaxPhotoFileBytes);
    if (file.error) {
        return DecodedPhoto{};
    }
    return DecodePhotoBytes(file.bytes, maxPixels);
}

cv::Mat DecodePhoto(const std::string& path) { return ReadPhoto(path).image; }

std::optional<cv::Size> ReadPhotoHeaderSize(const std::string& path) {
    const FileBytes file = ReadFileBytes(path, kMaxPhotoFileBytes);
    if (file.error) {
        return std::nullopt;
    }
    return PhotoHeaderSize(file.bytes);
}
