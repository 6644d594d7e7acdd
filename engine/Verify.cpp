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

// The widths the normalisation writes; the height is always trunc(1.4 x width).
constexpr int kSavedMinWidth = 215;
constexpr int kSavedMaxWidth = 295;
constexpr int kSavedQuality = 50;

using QuantTable = std::array<unsigned, DCTSIZE2>;

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

// The luminance and chrominance tables that libjpeg's own quality scaling yields at quality 50,
// asked of the library rather than written down, so that they follow the library the encoder
// uses.
std::array<QuantTable, 2> ComputeReferenceTables() {
    std::array<QuantTable, 2> tables{};
    jpeg_compress_struct cinfo{};
    ErrorManager err{};
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = FailDecode;
    err.pub.output_message = SilenceOutput;
    if (setjmp(err.jump) != 0) {
        jpeg_destroy_compress(&cinfo);
        return {};
    }
    jpeg_create_compress(&cinfo);
    cinfo.in_color_space = JCS_RGB;
    cinfo.input_components = 3;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, kSavedQuality, TRUE);
    for (int t = 0; t < 2; ++t) {
        for (int i = 0; i < DCTSIZE2; ++i) {
            tables[t][i] = cinfo.quant_tbl_ptrs[t]->quantval[i];
        }
    }
    jpeg_destroy_compress(&cinfo);
    return tables;
}

const std::array<QuantTable, 2>& ReferenceTables() {
    static const std::array<QuantTable, 2> tables = ComputeReferenceTables();
    return tables;
}

bool SavedSize(int width, int height) {
    return width >= kSavedMinWidth && width <= kSavedMaxWidth &&
           height == static_cast<int>(1.4 * width);
}

// Everything the decoder touches lives here and is reached through a pointer, so that nothing
// the longjmp skips over holds a value the compiler might have kept in a register.
struct StrictDecoder {
    jpeg_decompress_struct cinfo{};
    ErrorManager err{};
    bool clean = false;       // decoded to its end-of-image marker, no warning, nothing after
    bool tooLarge = false;    // not decoded: more pixels than kVerifyMaxPixels
    bool tablesMatch = false;
    int width = 0;
    int height = 0;
    bool keepImage = false;   // decode into `image` rather than a scratch row
    cv::Mat image;
    std::vector<unsigned char> row;
};

bool TablesMatch(const jpeg_decompress_struct& cinfo) {
    if (cinfo.num_components != 3 || cinfo.jpeg_color_space != JCS_YCbCr) {
        return false;
    }
    const auto& reference = ReferenceTables();
    for (int c = 0; c < 3; ++c) {
        const int slot = cinfo.comp_info[c].quant_tbl_no;
        const JQUANT_TBL* table =
            slot >= 0 && slot < NUM_QUANT_TBLS ? cinfo.quant_tbl_ptrs[slot] : nullptr;
        if (table == nullptr) {
            return false;
        }
        const QuantTable& expected = reference[c == 0 ? 0 : 1];
        for (int i = 0; i < DCTSIZE2; ++i) {
            if (table->quantval[i] != expected[i]) {
                return false;
            }
        }
    }
    // A table defined but used by no component is not something the encoder writes either.
    for (int slot = 2; slot < NUM_QUANT_TBLS; ++slot) {
        if (cinfo.quant_tbl_ptrs[slot] != nullptr) {
            return false;
        }
    }
    return true;
}

void RunDecoder(StrictDecoder* d, const std::uint8_t* data, std::size_t size, bool wantImage) {
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
    d->width = static_cast<int>(d->cinfo.image_width);
    d->height = static_cast<int>(d->cinfo.image_height);
    d->tablesMatch = TablesMatch(d->cinfo);
    if (static_cast<std::uint64_t>(d->cinfo.image_width) * d->cinfo.image_height >
        kVerifyMaxPixels) {
        d->tooLarge = true;
        jpeg_destroy_decompress(&d->cinfo);
        return;
    }
    d->keepImage = wantImage || (d->tablesMatch && SavedSize(d->width, d->height));
    if (d->cinfo.jpeg_color_space == JCS_YCbCr || d->cinfo.jpeg_color_space == JCS_GRAYSCALE ||
        d->cinfo.jpeg_color_space == JCS_RGB) {
        d->cinfo.out_color_space = JCS_EXT_BGR;
    } else {
        d->keepImage = false;
    }
    jpeg_start_decompress(&d->cinfo);
    const std::size_t stride =
        static_cast<std::size_t>(d->cinfo.output_width) * d->cinfo.output_components;
    if (d->keepImage) {
        d->image.create(d->height, d->width, CV_8UC3);
    } else {
        // Out of range or not needed: decoded only to prove the stream clean, one row at a time.
        d->row.resize(stride);
    }
    while (d->cinfo.output_scanline < d->cinfo.output_height) {
        JSAMPROW target = d->keepImage ? d->image.ptr<JSAMPLE>(static_cast<int>(d->cinfo.output_scanline))
                                       : d->row.data();
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
        case VerifyOutcome::Verified: return "Verified";
        case VerifyOutcome::NoTrailer: return "NoTrailer";
        case VerifyOutcome::NotJpeg: return "NotJpeg";
        case VerifyOutcome::WrongSize: return "WrongSize";
        case VerifyOutcome::Reencoded: return "Reencoded";
        case VerifyOutcome::NoFace: return "NoFace";
    }
    return "Unknown";
}

const char* VerifyOutcomeMessage(VerifyOutcome outcome) {
    switch (outcome) {
        case VerifyOutcome::Verified: return "照片由本工具保存，未发现改动";
        case VerifyOutcome::NoTrailer: return "文件末尾没有本工具的标记";
        case VerifyOutcome::NotJpeg: return "标记之前不是完整的 JPEG 图像";
        case VerifyOutcome::WrongSize: return "图像尺寸不是本工具输出的尺寸";
        case VerifyOutcome::Reencoded: return "图像经过重新编码";
        case VerifyOutcome::NoFace: return "照片中未检测到人脸";
    }
    return "";
}

cv::Mat DecodeStrictJpeg(const std::uint8_t* jpeg, std::size_t size) {
    if (!EndsWithEndOfImage(jpeg, size)) {
        return {};
    }
    StrictDecoder decoder;
    RunDecoder(&decoder, jpeg, size, true);
    return decoder.clean && decoder.keepImage ? decoder.image : cv::Mat();
}

VerifyResult VerifySavedPhoto(const std::uint8_t* data, std::size_t size,
                              cv::CascadeClassifier& cascade) {
    VerifyResult result;
    const auto trailer = MakePhotoTrailer();
    if (size < trailer.size() ||
        !std::equal(trailer.begin(), trailer.end(), data + size - trailer.size())) {
        result.outcome = VerifyOutcome::NoTrailer;
        return result;
    }
    const std::size_t jpegSize = size - trailer.size();
    if (!EndsWithEndOfImage(data, jpegSize)) {
        result.outcome = VerifyOutcome::NotJpeg;
        return result;
    }
    StrictDecoder decoder;
    RunDecoder(&decoder, data, jpegSize, false);
    result.width = decoder.width;
    result.height = decoder.height;
    if (decoder.tooLarge) {
        result.outcome = VerifyOutcome::WrongSize;
        return result;
    }
    if (!decoder.clean) {
        result.outcome = VerifyOutcome::NotJpeg;
        return result;
    }
    if (!SavedSize(decoder.width, decoder.height)) {
        result.outcome = VerifyOutcome::WrongSize;
        return result;
    }
    if (!decoder.tablesMatch) {
        result.outcome = VerifyOutcome::Reencoded;
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
    out += result.outcome == VerifyOutcome::Verified ? ", \"verified\": true" : ", \"verified\": false";
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
