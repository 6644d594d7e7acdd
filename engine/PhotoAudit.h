#pragma once

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/objdetect.hpp>

#include "engine/Audit.h"

/// A window's audit state over the ladder (engine/Audit.h): the face cascade, the verdict shown
/// (m_nState), the normalised photo and what the last audit found. Each audit replaces them
/// with the ladder's result; the caller then acts on that result (log line, save button,
/// repaint). Not thread-safe; use one instance per thread.
class CPhotoAudit {
public:
    CPhotoAudit() = default;
    CPhotoAudit(const CPhotoAudit&) = delete;
    CPhotoAudit& operator=(const CPhotoAudit&) = delete;

    /// Loads the face cascade from m_strCascadeFile, or failing that from
    /// m_strSystemCascadeFile. False when neither loads; the classifier is then empty and every
    /// decodable photo gets NoSinglePortrait.
    bool LoadFaceCascade();

    /// Stores `path` and `fileName` (UTF-8, for the log line), reads the file and audits its
    /// bytes (AuditPhotoFile). The verdict replaces m_nState and m_details, and a pass
    /// m_matResult. A file that cannot be read gets no verdict: the audit is left as after a
    /// failure (below) and the error is returned. A failure that is not a property of the photo
    /// (std::bad_alloc, a cv::Exception from the detector, a resize or a fill) is thrown; the
    /// audit is then left as if none had been made (Idle, no details, no normalised photo).
    std::error_code AuditFile(const std::string& path, const std::string& fileName);

    /// Rungs 2 to 6 on a decoded photo from a file of `fileLength` bytes (AuditDecodedPhoto).
    /// Throws as AuditFile does.
    void AuditPhoto(const cv::Mat& photo, std::uint64_t fileLength);

    /// Rungs 3 to 6 (JudgePortrait). Throws as AuditFile does.
    void JudgePhoto(const cv::Rect& face, const cv::Mat& photo, std::uint64_t fileLength);

    /// The run-log line of the last verdict: the file name, the message and "\r\n"; empty when
    /// the state is Idle.
    std::string VerdictLine() const;

    /// The ladder's face detection with m_faceCascade, or with m_findFaces when that is set.
    FaceFinder Faces();

    int m_nState = Idle;
    std::string m_strPath;      ///< path of the last audited file, as the OS takes it
    std::string m_strFileName;  ///< its file name, UTF-8; begins every verdict line
    std::string m_strCascadeFile = "haarcascade_frontalface_alt2.xml";
    std::string m_strSystemCascadeFile = SystemFaceCascade();
    cv::CascadeClassifier m_faceCascade;
    FaceFinder m_findFaces;   ///< replaces the cascade's detection when set (tests)
    cv::Mat m_matResult;      ///< the normalised photo of the last Passed verdict
    AuditDetails m_details;   ///< what the last audit found
    AuditOptions m_options;   ///< pixel limit and fill seed of every audit

private:
    void Take(AuditResult result);
    void Forget();
};
