#include "engine/Audit.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <tuple>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "engine/Background.h"
#include "platform/Files.h"

namespace fs = std::filesystem;

namespace {

bool IsRegularFile(const std::string& path) {
    std::error_code ec;
    return fs::is_regular_file(PathFromUtf8(path), ec);
}

AuditResult Verdict(ResultState state, AuditDetails details) {
    AuditResult result;
    result.state = state;
    result.details = std::move(details);
    return result;
}

}  // namespace

std::vector<cv::Rect> DetectFaces(cv::CascadeClassifier& cascade, const cv::Mat& photo) {
    std::vector<cv::Rect> faces;
    if (cascade.empty() || photo.empty() || photo.type() != CV_8UC3) {
        return faces;
    }
    cv::Mat grey;
    cv::cvtColor(photo, grey, cv::COLOR_BGR2GRAY, 0);
    cv::equalizeHist(grey, grey);
    cascade.detectMultiScale(grey, faces, kFaceScaleFactor, kFaceMinNeighbours,
                             cv::CASCADE_SCALE_IMAGE, cv::Size(kFaceMinSide, kFaceMinSide),
                             cv::Size(0, 0));
    // The detector gathers candidates in parallel and may report them in any order; a fixed
    // order keeps the face choice, and so the verdict, the same on every run.
    std::sort(faces.begin(), faces.end(), [](const cv::Rect& a, const cv::Rect& b) {
        return std::tie(a.y, a.x, a.width, a.height) < std::tie(b.y, b.x, b.width, b.height);
    });
    return faces;
}

FaceFinder CascadeFaceFinder(cv::CascadeClassifier& cascade) {
    return [&cascade](const cv::Mat& photo) { return DetectFaces(cascade, photo); };
}

std::optional<cv::Rect> ChoosePortraitFace(const std::vector<cv::Rect>& faces) {
    if (faces.empty() || faces.size() > 2) {
        return std::nullopt;
    }
    int widest = 0;
    std::optional<cv::Rect> chosen;
    for (const cv::Rect& face : faces) {
        if (face.width >= widest) {
            widest = face.width;
            chosen = face;
        }
    }
    return chosen;
}

std::string FindFaceCascade(const std::string& fileName, const std::string& systemCopy) {
    if (!fileName.empty() && IsRegularFile(fileName)) {
        return fileName;
    }
    if (!systemCopy.empty() && IsRegularFile(systemCopy)) {
        return systemCopy;
    }
    return {};
}

const char* SystemFaceCascade() {
    static const std::string path = InstalledFilePath(VETRIX_SYSTEM_CASCADE);
    return path.c_str();
}

bool LoadFaceCascadeFile(cv::CascadeClassifier& cascade, const std::string& path) {
    // Far above the 540 kB of the usual cascade; a larger file is not one.
    constexpr std::uint64_t kMaxCascadeBytes = 64u << 20;
    cascade = cv::CascadeClassifier();
    const FileBytes file = ReadFileBytes(path, kMaxCascadeBytes);
    if (file.error || file.bytes.empty()) {
        return false;
    }
    // From memory rather than by name: OpenCV opens names through the narrow C library, which
    // on Windows cannot open a name outside the code page.
    const cv::FileStorage storage(std::string(file.bytes.begin(), file.bytes.end()),
                                  cv::FileStorage::READ | cv::FileStorage::MEMORY);
    if (storage.isOpened() && cascade.read(storage.getFirstTopLevelNode())) {
        return true;
    }
    cascade = cv::CascadeClassifier();
    return false;
}

AuditResult JudgePortrait(const cv::Rect& face, const cv::Mat& photo, std::uint64_t fileLength,
                          const AuditOptions& options) {
    AuditResult result;
    AuditWhy& why = result.details.why;
    why.size = SizeFacts{fileLength, photo.cols, photo.rows};
    if (fileLength < kMinPhotoFileLength || photo.rows < kMinPhotoRows ||
        photo.cols < kMinPhotoColumns) {
        why.cause = fileLength < kMinPhotoFileLength ? WhyCause::FileTooSmall
                                                     : WhyCause::TooFewPixels;
        result.state = BadSize;
        return result;
    }
    // One generator for the audit, started from the given state: the colours drawn do not
    // depend on what ran before on this thread.
    cv::RNG rng(options.fillSeed);
    if (!CheckBackground(photo, &why.background.emplace(), rng)) {
        why.cause = BackgroundCause(*why.background);
        result.state = BadBackground;
        return result;
    }
    CropPlan plan;
    if (!CheckProportion(photo, face, result.normalised, &plan, &why.framing.emplace(), rng)) {
        why.cause = FramingCause(*why.framing);
        result.normalised.release();
        result.state = BadProportion;
        return result;
    }
    result.details.crop = plan;
    result.state = Passed;
    return result;
}

AuditResult AuditDecodedPhoto(const cv::Mat& photo, std::uint64_t fileLength,
                              const FaceFinder& findFaces, const AuditOptions& options) {
    AuditDetails details;
    if (photo.empty()) {
        details.why.cause = WhyCause::NotAnImage;
        return Verdict(BadFormat, std::move(details));
    }
    details.faces = findFaces ? findFaces(photo) : std::vector<cv::Rect>();
    details.face = ChoosePortraitFace(details.faces);
    if (!details.face) {
        details.why.cause = details.faces.empty() ? WhyCause::NoFace : WhyCause::TooManyFaces;
        return Verdict(NoSinglePortrait, std::move(details));
    }
    AuditResult result = JudgePortrait(*details.face, photo, fileLength, options);
    result.details.faces = std::move(details.faces);
    result.details.face = details.face;
    return result;
}

AuditResult AuditPhotoBytes(std::span<const std::uint8_t> bytes, const FaceFinder& findFaces,
                            const AuditOptions& options) {
    DecodedPhoto decoded = DecodePhotoBytes(bytes, options.maxPixels);
    AuditResult result;
    switch (decoded.status) {
        case DecodeStatus::Decoded:
            result = AuditDecodedPhoto(decoded.image, bytes.size(), findFaces, options);
            break;
        case DecodeStatus::TooManyPixels:
            // Refused before decoding: the photo is far beyond any size the ladder accepts.
            result.state = BadSize;
            result.details.tooManyPixels = decoded.declaredSize;
            result.details.why.cause = WhyCause::TooManyPixels;
            break;
        case DecodeStatus::TooManyScans:
            result.state = BadFormat;
            result.details.why.cause = WhyCause::TooManyScans;
            break;
        case DecodeStatus::NotAnImage:
            result.state = BadFormat;
            result.details.why.cause = WhyCause::NotAnImage;
            break;
    }
    result.details.warnings = std::move(decoded.warnings);
    result.details.why.transparent = decoded.transparent;
    // A transparent photo decodes with whatever colour lies under its transparent pixels,
    // mostly black: the background check then fails on a colour the candidate never saw.
    if (result.state == BadBackground && decoded.transparent) {
        result.details.why.cause = WhyCause::BackgroundTransparent;
    }
    return result;
}

FileAudit AuditReadFile(const FileBytes& file, const FaceFinder& findFaces,
                        const AuditOptions& options) {
    FileAudit audit;
    if (file.error == std::errc::file_too_large) {
        audit.result.state = BadSize;
        audit.result.details.why.cause = WhyCause::FileTooLarge;
        audit.result.details.why.size = SizeFacts{file.length, 0, 0};
        return audit;
    }
    if (file.error) {
        audit.error = file.error;
        return audit;
    }
    audit.result = AuditPhotoBytes(file.bytes, findFaces, options);
    return audit;
}

FileAudit AuditPhotoFile(const std::string& path, const FaceFinder& findFaces,
                         const AuditOptions& options) {
    return AuditReadFile(ReadFileBytes(path, kMaxPhotoFileBytes), findFaces, options);
}

std::size_t Utf8SequenceAt(const std::string& text, std::size_t i, char32_t& cp) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = byte(i);
    std::size_t len = 0;
    char32_t min = 0;
    if (c < 0x80) {
        cp = c;
        return 1;
    } else if ((c & 0xE0) == 0xC0) {
        len = 2, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4, min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > text.size()) {
        return 0;
    }
    cp = c & (0x7Fu >> len);
    for (std::size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (byte(i + k) & 0x3Fu);
    }
    const bool valid = cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    return valid ? len : 0;
}

std::string ToValidUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        char32_t cp = 0;
        const std::size_t len = Utf8SequenceAt(text, i, cp);
        if (len != 0) {
            out.append(text, i, len);
            i += len;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

std::string DisplayFileName(const std::string& path) {
    return ToValidUtf8(Utf8FromPath(PathFromUtf8(path).filename()));
}
