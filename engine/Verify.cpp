#include "engine/Verify.h"

#include <algorithm>
#include <array>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>
#include <opencv2/core.hpp>

#include "engine/AuditJson.h"
#include "engine/Export.h"
#include "engine/PhotoAudit.h"

namespace {


constexpr std::uint8_t kSOI = 0xD8;
constexpr std::uint8_t kEOI = 0xD9;
constexpr std::uint8_t kSOS = 0xDA;
constexpr std::uint8_t kDQT = 0xDB;
constexpr std::uint8_t kDHT = 0xC4;

bool IsFrameMarker(std::uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != kDHT && marker != 0xC8 && marker != 0xCC;
}

bool IsRestartMarker(std::uint8_t marker) { return marker >= 0xD0 && marker <= 0xD7; }

// A marker segment: its marker and the bytes after its two length bytes.
struct Segment {
    std::uint8_t marker = 0;
    const std::uint8_t* body = nullptr;
    std::size_t length = 0;
};

// What walking a JPEG stream's marker segments found. Only the first few segments are kept, so
// that a file of a million tiny segments costs no more memory than a genuine one; the encoder
// writes fewer than that, and the counts tell a file with more.
struct Walk {
    static constexpr std::size_t kKept = 16;
    bool complete = false;  // reached an end-of-image marker after a scan, all within bounds
    std::size_t end = 0;    // just past that marker
    std::array<Segment, kKept> kept{};
    std::size_t count = 0;  // segments with a length, all of them
    std::array<std::size_t, 256> perMarker{};
    Segment frame;  // the first frame header, when there is one
    bool restartMarkers = false;
    bool fillBytes = false;
};

// Where the compressed picture data that starts at `pos` ends: at the FF of the first marker
// other than a restart marker (a stuffed FF 00 is data). `size` when no marker follows.
std::size_t SkipPictureData(const std::uint8_t* data, std::size_t size, std::size_t pos,
                            Walk& walk) {
    while (pos < size) {
        const void* ff = std::memchr(data + pos, 0xFF, size - pos);
        if (ff == nullptr) {
            return size;
        }
        pos = static_cast<std::size_t>(static_cast<const std::uint8_t*>(ff) - data);
        if (pos + 1 >= size) {
            return size;
        }
        const std::uint8_t next = data[pos + 1];
        if (next == 0x00 || IsRestartMarker(next)) {
            walk.restartMarkers = walk.restartMarkers || next != 0x00;
            pos += 2;
            continue;
        }
        return pos;
    }
    return size;
}

// Walks the marker segments of the JPEG stream in the `size` bytes at `data` from its start to
// its first end-of-image marker, reading no byte outside them.
Walk WalkJpeg(const std::uint8_t* data, std::size_t size) {
    Walk walk;
    if (size < 4 || data[0] != 0xFF || data[1] != kSOI) {
        return walk;
    }
    std::size_t pos = 2;
    while (pos < size && data[pos] == 0xFF) {
        ++pos;
        // Decoders skip any number of FF before a marker's code; libjpeg never writes them.
        while (pos < size && data[pos] == 0xFF) {
            walk.fillBytes = true;
            ++pos;
        }
        if (pos >= size) {
            return walk;
        }
        const std::uint8_t marker = data[pos++];
        if (marker == kEOI) {
            walk.complete = walk.perMarker[kSOS] > 0;
            walk.end = pos;
            return walk;
        }
        // A stuffed zero, TEM, the reserved codes, a second SOI or a restart marker outside
        // picture data: nothing a JPEG stream has here.
        if (marker < 0xC0 || marker == kSOI || IsRestartMarker(marker)) {
            return walk;
        }
        if (size - pos < 2) {
            return walk;
        }
        const std::size_t length = static_cast<std::size_t>(data[pos] << 8 | data[pos + 1]);
        if (length < 2 || length > size - pos) {
            return walk;
        }
        const Segment segment{marker, data + pos + 2, length - 2};
        pos += length;
        if (walk.count < Walk::kKept) {
            walk.kept[walk.count] = segment;
        }
        ++walk.count;
        ++walk.perMarker[marker];
        if (IsFrameMarker(marker) && walk.frame.body == nullptr) {
            walk.frame = segment;
        }
        if (marker == kSOS) {
            if (walk.frame.body == nullptr) {
                return walk;  // a scan needs a frame header before it
            }
            pos = SkipPictureData(data, size, pos, walk);
        }
    }
    return walk;
}

// The segments of what Vetrix writes, from the writer itself: a small photo saved as Export
// saves every photo. The tables do not depend on the pixels, and only the frame's size does,
// so every saved photo has these bytes but for its width and height. (Were OpenCV built without
// JPEG, the walk would be empty and no file would verify.)
const Walk& SavedReference() {
    static const std::vector<std::uint8_t> bytes =
        EncodeApprovedPhoto(cv::Mat(16, 16, CV_8UC3, cv::Scalar(90, 120, 180)));
    static const Walk walk = bytes.size() > MakePhotoTrailer().size()
                                 ? WalkJpeg(bytes.data(), bytes.size() - MakePhotoTrailer().size())
                                 : Walk{};
    return walk;
}

bool SameBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    return n == 0 || std::memcmp(a, b, n) == 0;
}

// Whether `segment` has the layout of the reference's segment at the same place: everything
// but the table values and the frame's size, which the last checks judge.
bool SameLayout(const Segment& segment, const Segment& expected) {
    if (segment.marker != expected.marker) {
        return false;
    }
    const std::uint8_t* b = segment.body;
    switch (segment.marker) {
        case kDQT:  // precision and slot, then 64 values
            return segment.length == expected.length && b[0] == expected.body[0];
        case kDHT: {  // class and slot, 16 code counts, then as many symbols
            if (segment.length < 17 || b[0] != expected.body[0]) {
                return false;
            }
            std::size_t symbols = 0;
            for (int i = 1; i <= 16; ++i) {
                symbols += b[i];
            }
            return segment.length == 17 + symbols;
        }
        default:
            if (segment.length != expected.length) {
                return false;
            }
            if (IsFrameMarker(segment.marker)) {  // precision, height, width, components
                return segment.length >= 5 && b[0] == expected.body[0] &&
                       SameBytes(b + 5, expected.body + 5, segment.length - 5);
            }
            return SameBytes(b, expected.body, segment.length);
    }
}

bool SameTables(const Segment& segment, const Segment& expected) {
    if (segment.marker != kDQT && segment.marker != kDHT) {
        return true;
    }
    return segment.length == expected.length &&
           SameBytes(segment.body, expected.body, segment.length);
}

bool SavedSize(int width, int height) {
    // The sizes the normalisation writes.
    return width >= kNormalisedMinWidth && width <= kNormalisedMaxWidth &&
           height == static_cast<int>(kNormalisedAspect * width);
}

struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    bool warned;
};

extern "C" void FailDecode(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}

// libjpeg reports recoverable damage (a premature end, extraneous bytes, a corrupt entropy
// segment) as warnings of level -1 and keeps decoding; a clean stream raises none.
extern "C" void NoteMessage(j_common_ptr cinfo, int level) {
    if (level < 0) {
        reinterpret_cast<ErrorManager*>(cinfo->err)->warned = true;
    }
}

extern "C" void SilenceOutput(j_common_ptr) {}

// Everything the decoder touches lives here and is reached through a pointer, so that nothing
// the longjmp skips over holds a value the compiler might have kept in a register.
struct StrictDecoder {
    jpeg_decompress_struct cinfo{};
    ErrorManager err{};
    bool clean = false;  // decoded to its end-of-image marker, no warning, nothing after
    cv::Mat image;
};

void RunDecoder(StrictDecoder* d, const std::uint8_t* data, std::size_t size) {
    d->cinfo.err = jpeg_std_error(&d->err.pub);
    d->err.pub.error_exit = FailDecode;
    d->err.pub.emit_message = NoteMessage;
    d->err.pub.output_message = SilenceOutput;
    if (setjmp(d->err.jump) != 0) {
        d->clean = false;
        jpeg_destroy_decompress(&d->cinfo);
        return;
    }
    jpeg_create_decompress(&d->cinfo);
    jpeg_mem_src(&d->cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(&d->cinfo, TRUE);
    const J_COLOR_SPACE space = d->cinfo.jpeg_color_space;
    if (static_cast<std::uint64_t>(d->cinfo.image_width) * d->cinfo.image_height >
            kVerifyMaxPixels ||
        (space != JCS_YCbCr && space != JCS_GRAYSCALE && space != JCS_RGB)) {
        jpeg_destroy_decompress(&d->cinfo);
        return;
    }
    d->cinfo.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&d->cinfo);
    d->image.create(static_cast<int>(d->cinfo.output_height),
                    static_cast<int>(d->cinfo.output_width), CV_8UC3);
    while (d->cinfo.output_scanline < d->cinfo.output_height) {
        JSAMPROW target = d->image.ptr<JSAMPLE>(static_cast<int>(d->cinfo.output_scanline));
        if (jpeg_read_scanlines(&d->cinfo, &target, 1) != 1) {
            break;  // only a suspending source returns 0; the memory source never suspends
        }
    }
    jpeg_finish_decompress(&d->cinfo);
    d->clean = !d->err.warned && d->cinfo.output_scanline == d->cinfo.output_height &&
               d->cinfo.src->bytes_in_buffer == 0;
    jpeg_destroy_decompress(&d->cinfo);
}

bool EndsWithEndOfImage(const std::uint8_t* data, std::size_t size) {
    return size >= 4 && data[size - 2] == 0xFF && data[size - 1] == 0xD9;
}

}  // namespace

const char* VerifyOutcomeName(VerifyOutcome outcome) {
    switch (outcome) {
        case VerifyOutcome::Verified:
            return "Verified";
        case VerifyOutcome::NoTrailer:
            return "NoTrailer";
        case VerifyOutcome::NotJpeg:
            return "NotJpeg";
        case VerifyOutcome::WrongSize:
            return "WrongSize";
        case VerifyOutcome::Reencoded:
            return "Reencoded";
        case VerifyOutcome::NoFace:
            return "NoFace";
        case VerifyOutcome::DataAfterImage:
            return "DataAfterImage";
        case VerifyOutcome::NotBaseline:
            return "NotBaseline";
        case VerifyOutcome::ExtraSegment:
            return "ExtraSegment";
        case VerifyOutcome::AlteredStructure:
            return "AlteredStructure";
    }
    return "Unknown";
}

const char* VerifyOutcomeMessage(VerifyOutcome outcome) {
    switch (outcome) {
        case VerifyOutcome::Verified:
            return "文件的结构、尺寸和编码表与本工具的输出完全一致，并检测到人脸";
        case VerifyOutcome::NoTrailer:
            return "文件末尾没有本工具的标记";
        case VerifyOutcome::NotJpeg:
            return "标记之前不是完整的 JPEG 图像";
        case VerifyOutcome::WrongSize:
            return "图像尺寸不是本工具输出的尺寸";
        case VerifyOutcome::Reencoded:
            return "图像经过重新编码";
        case VerifyOutcome::NoFace:
            return "照片中未检测到人脸";
        case VerifyOutcome::DataAfterImage:
            return "图像结束之后、标记之前有多余的数据";
        case VerifyOutcome::NotBaseline:
            return "图像不是本工具使用的基线编码（如渐进式或算术编码）";
        case VerifyOutcome::ExtraSegment:
            return "文件含有本工具不写入的段（如注释、EXIF 或其他附加数据）";
        case VerifyOutcome::AlteredStructure:
            return "文件的段结构与本工具的输出不一致";
    }
    return "";
}

cv::Mat DecodeStrictJpeg(const std::uint8_t* jpeg, std::size_t size) {
    if (!EndsWithEndOfImage(jpeg, size)) {
        return {};
    }
    StrictDecoder decoder;
    RunDecoder(&decoder, jpeg, size);
    return decoder.clean ? decoder.image : cv::Mat();
}

SavedLayout CheckSavedLayout(const std::uint8_t* data, std::size_t size) {
    SavedLayout result;
    const auto fail = [&result](VerifyOutcome outcome) {
        result.failure = outcome;
        return result;
    };
    const auto trailer = MakePhotoTrailer();
    if (size < trailer.size() ||
        !std::equal(trailer.begin(), trailer.end(), data + size - trailer.size())) {
        return fail(VerifyOutcome::NoTrailer);
    }
    const std::size_t jpegSize = size - trailer.size();
    const Walk walk = WalkJpeg(data, jpegSize);
    if (walk.frame.length >= 5) {
        result.height = walk.frame.body[1] << 8 | walk.frame.body[2];
        result.width = walk.frame.body[3] << 8 | walk.frame.body[4];
    }
    if (!walk.complete) {
        return fail(VerifyOutcome::NotJpeg);
    }
    if (walk.end != jpegSize) {
        return fail(VerifyOutcome::DataAfterImage);
    }
    const Walk& expected = SavedReference();
    const auto expectedCount = [&expected](std::size_t marker) {
        return expected.perMarker[marker];
    };
    for (std::size_t marker = 0; marker < walk.perMarker.size(); ++marker) {
        if (walk.perMarker[marker] > 0 && IsFrameMarker(static_cast<std::uint8_t>(marker)) &&
            expectedCount(marker) == 0) {
            return fail(VerifyOutcome::NotBaseline);
        }
    }
    for (std::size_t marker = 0; marker < walk.perMarker.size(); ++marker) {
        if (walk.perMarker[marker] > expectedCount(marker)) {
            return fail(VerifyOutcome::ExtraSegment);
        }
    }
    bool sameLayout = expected.complete && walk.count == expected.count &&
                      walk.count <= Walk::kKept && !walk.restartMarkers && !walk.fillBytes;
    for (std::size_t i = 0; sameLayout && i < walk.count; ++i) {
        sameLayout = SameLayout(walk.kept[i], expected.kept[i]);
    }
    if (!sameLayout) {
        return fail(VerifyOutcome::AlteredStructure);
    }
    if (!SavedSize(result.width, result.height)) {
        return fail(VerifyOutcome::WrongSize);
    }
    for (std::size_t i = 0; i < walk.count; ++i) {
        if (!SameTables(walk.kept[i], expected.kept[i])) {
            return fail(VerifyOutcome::Reencoded);
        }
    }
    return result;
}

VerifyResult VerifySavedPhoto(const std::uint8_t* data, std::size_t size,
                              cv::CascadeClassifier& cascade) {
    VerifyResult result;
    const SavedLayout layout = CheckSavedLayout(data, size);
    result.width = layout.width;
    result.height = layout.height;
    if (layout.failure) {
        result.outcome = *layout.failure;
        return result;
    }
    StrictDecoder decoder;
    RunDecoder(&decoder, data, size - MakePhotoTrailer().size());
    if (!decoder.clean) {
        result.outcome = VerifyOutcome::NotJpeg;
        return result;
    }
    const auto portrait = [](const std::vector<cv::Rect>& faces) {
        return !faces.empty() && faces.size() <= 2;
    };
    result.faces = DetectFaces(cascade, decoder.image);
    // The upright photo first: almost every genuine photo ends there, with one detection.
    const std::pair<int, int> turns[] = {{90, cv::ROTATE_90_CLOCKWISE},
                                         {270, cv::ROTATE_90_COUNTERCLOCKWISE},
                                         {180, cv::ROTATE_180}};
    for (const auto& [degrees, code] : turns) {
        if (portrait(result.faces)) {
            break;
        }
        cv::Mat turned;
        cv::rotate(decoder.image, turned, code);
        std::vector<cv::Rect> faces = DetectFaces(cascade, turned);
        if (portrait(faces)) {
            result.faces = std::move(faces);
            result.turn = degrees;
        }
    }
    result.outcome = portrait(result.faces) ? VerifyOutcome::Verified : VerifyOutcome::NoFace;
    return result;
}

std::string VerifyJson(const std::optional<std::string>& file, const VerifyResult& result) {
    std::string out = "{";
    if (file) {
        out += JsonFileMembers(*file) + ", ";
    }
    out += "\"outcome\": " + JsonString(VerifyOutcomeName(result.outcome));
    out += result.outcome == VerifyOutcome::Verified ? ", \"verified\": true"
                                                     : ", \"verified\": false";
    out += ", \"message\": " + JsonString(VerifyOutcomeMessage(result.outcome));
    out += ", \"size\": ";
    if (result.width > 0) {
        out += '[';
        out += std::to_string(result.width);
        out += ", ";
        out += std::to_string(result.height);
        out += ']';
    } else {
        out += "null";
    }
    out += ", \"faces\": [";
    for (std::size_t i = 0; i < result.faces.size(); ++i) {
        const cv::Rect& r = result.faces[i];
        out += (i > 0 ? ", [" : "[") + std::to_string(r.x) + ", " + std::to_string(r.y) + ", " +
               std::to_string(r.width) + ", " + std::to_string(r.height) + "]";
    }
    out += "], \"turn\": " + std::to_string(result.turn) + "}";
    return out;
}
