#include "engine/PhotoAudit.h"

#include <filesystem>
#include <utility>

#include "platform/Files.h"

bool CPhotoAudit::LoadFaceCascade() {
    for (const std::string& candidate : {m_strCascadeFile, m_strSystemCascadeFile}) {
        std::error_code ec;
        if (candidate.empty() || !std::filesystem::is_regular_file(PathFromUtf8(candidate), ec)) {
            continue;
        }
        try {
            if (LoadFaceCascadeFile(m_faceCascade, candidate)) {
                return true;
            }
        } catch (const std::exception&) {
            // A damaged cascade file is as good as a missing one; try the next.
        }
    }
    m_faceCascade = cv::CascadeClassifier();
    return false;
}

FaceFinder CPhotoAudit::Faces() {
    return m_findFaces ? m_findFaces : CascadeFaceFinder(m_faceCascade);
}

std::error_code CPhotoAudit::AuditFile(const std::string& path, const std::string& fileName) {
    m_strPath = path;
    m_strFileName = fileName;
    FileAudit audit;
    try {
        audit = AuditPhotoFile(path, Faces(), m_options);
    } catch (...) {
        Forget();
        throw;
    }
    if (audit.error) {
        Forget();
        return audit.error;
    }
    Take(std::move(audit.result));
    return {};
}

void CPhotoAudit::AuditPhoto(const cv::Mat& photo, std::uint64_t fileLength) {
    try {
        Take(AuditDecodedPhoto(photo, fileLength, Faces(), m_options));
    } catch (...) {
        Forget();
        throw;
    }
}

void CPhotoAudit::JudgePhoto(const cv::Rect& face, const cv::Mat& photo,
                             std::uint64_t fileLength) {
    try {
        Take(JudgePortrait(face, photo, fileLength, m_options));
    } catch (...) {
        Forget();
        throw;
    }
}

std::string CPhotoAudit::VerdictLine() const {
    if (m_nState == Idle) {
        return {};
    }
    return VerdictLogLine(m_strFileName, m_nState);
}

void CPhotoAudit::Take(AuditResult result) {
    m_nState = result.state;
    m_details = std::move(result.details);
    // Only a pass replaces the normalised photo; the save button goes by the state.
    if (result.state == Passed) {
        m_matResult = std::move(result.normalised);
    }
}

void CPhotoAudit::Forget() {
    m_nState = Idle;
    m_details = AuditDetails{};
    m_matResult.release();
}
