#include "engine/PhotoAudit.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <tuple>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "engine/Background.h"

namespace fs = std::filesystem;

namespace {

bool IsRegularFile(const std::string& path) {
    std::error_code ec;
    return fs::is_regular_file(fs::path(path), ec);
}

}  // namespace

std::uint64_t GetPhotoFileLength(const std::string& path) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(fs::path(path), ec);
    return ec ? 0 : static_cast<std::uint64_t>(size);
}

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

const char* SystemFaceCascade() { return VETRIX_SYSTEM_CASCADE; }

void RestartRandomState() { cv::theRNG() = cv::RNG(); }

bool CPhotoAudit::LoadFaceCascade() {
    for (const std::string& candidate : {m_strCascadeFile, m_strSystemCascadeFile}) {
        if (candidate.empty() || !IsRegularFile(candidate)) {
            continue;
        }
        try {
            if (m_faceCascade.load(candidate)) {
                return true;
            }
        } catch (const std::exception&) {
            // A damaged cascade file is as good as a missing one; try the next.
        }
    }
    m_faceCascade = cv::CascadeClassifier();
    return false;
}

void CPhotoAudit::AuditFile(const std::string& path, const std::string& fileName) {
    m_strPath = path;
    m_strFileName = fileName;
    m_details = AuditDetails{};
    try {
        DecodedPhoto decoded = ReadPhoto(m_strPath, m_nMaxPixels);
        m_details.warnings = std::move(decoded.warnings);
        if (decoded.status == DecodeStatus::TooManyPixels) {
            // Refused before decoding: the photo is far beyond any size the ladder accepts.
            m_details.tooManyPixels = decoded.declaredSize;
            m_details.why.cause = WhyCause::TooManyPixels;
            IssueVerdict(BadSize);
            return;
        }
        AuditDecoded(decoded.image);
    } catch (...) {
        Forget();
        throw;
    }
}

void CPhotoAudit::AuditPhoto(const cv::Mat& photo) {
    m_details = AuditDetails{};
    try {
        AuditDecoded(photo);
    } catch (...) {
        Forget();
        throw;
    }
}

void CPhotoAudit::AuditDecoded(const cv::Mat& photo) {
    if (photo.cols == 0 && photo.rows == 0) {
        m_details.why.cause = WhyCause::NotAnImage;
        IssueVerdict(BadFormat);
        return;
    }
    m_details.faces = FindFaces(photo);
    m_details.face = ChoosePortraitFace(m_details.faces);
    if (!m_details.face) {
        m_details.why.cause = m_details.faces.empty() ? WhyCause::NoFace : WhyCause::TooManyFaces;
        IssueVerdict(NoSinglePortrait);
        return;
    }
    JudgePhoto(*m_details.face, photo);
}

std::vector<cv::Rect> CPhotoAudit::FindFaces(const cv::Mat& photo) {
    return DetectFaces(m_faceCascade, photo);
}

void CPhotoAudit::JudgePhoto(const cv::Rect& face, const cv::Mat& photo) {
    if (m_bRestartRandomState) {
        RestartRandomState();
    }
    try {
        JudgeRungs(face, photo);
    } catch (...) {
        Forget();
        throw;
    }
}

void CPhotoAudit::JudgeRungs(const cv::Rect& face, const cv::Mat& photo) {
    AuditWhy& why = m_details.why;
    why = AuditWhy{};
    const std::uint64_t length = GetPhotoFileLength(m_strPath);
    why.size = SizeFacts{length, photo.cols, photo.rows};
    if (length < kMinPhotoFileLength || photo.rows < kMinPhotoRows ||
        photo.cols < kMinPhotoColumns) {
        why.cause = length < kMinPhotoFileLength ? WhyCause::FileTooSmall : WhyCause::TooFewPixels;
        IssueVerdict(BadSize);
        return;
    }
    if (!CheckBackground(photo, &why.background.emplace())) {
        why.cause = BackgroundCause(*why.background);
        IssueVerdict(BadBackground);
        return;
    }
    CropPlan plan;
    if (!CheckProportion(photo, face, m_matResult, &plan, &why.framing.emplace())) {
        why.cause = FramingCause(*why.framing);
        IssueVerdict(BadProportion);
        return;
    }
    m_details.crop = plan;
    IssueVerdict(Passed);
}

void CPhotoAudit::Forget() {
    m_nState = Idle;
    m_details = AuditDetails{};
    m_matResult.release();
}

void CPhotoAudit::IssueVerdict(ResultState state) {
    m_nState = state;
    WriteVerdictLine(m_strFileName + ResultMessage(state) + "\r\n");
    if (state == Passed) {
        ShowSaveButton(true);
    }
    RequestRepaint();
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
    return ToValidUtf8(fs::path(path).filename().string());
}
