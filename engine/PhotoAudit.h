#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/objdetect.hpp>

#include "engine/Decode.h"
#include "engine/Framing.h"
#include "engine/ResultState.h"
#include "engine/Why.h"

/// Smallest accepted file, in bytes (30 x 1024; exactly this many passes).
inline constexpr std::uint64_t kMinPhotoFileLength = 30720;
/// Smallest accepted photo, in pixels (exactly these pass).
inline constexpr int kMinPhotoColumns = 215;
inline constexpr int kMinPhotoRows = 300;

/// The length of the file at `path` in bytes; 0 when it cannot be measured.
std::uint64_t GetPhotoFileLength(const std::string& path);

/// The face detector's settings, the same wherever faces are looked for.
/// Each step of the detector's scale pyramid enlarges the search window by this factor.
inline constexpr double kFaceScaleFactor = 1.1;
/// Overlapping detections needed for a face to count.
inline constexpr int kFaceMinNeighbours = 4;
/// The smallest face looked for, width and height in pixels.
inline constexpr int kFaceMinSide = 60;

/// Runs the face detector (kFaceScaleFactor, kFaceMinNeighbours, kFaceMinSide) on the equalised
/// grey form of `photo` and returns the detections sorted top to bottom, then left to right (by
/// y, x, width, height), so that the same photo always yields the same list. No faces for an
/// empty classifier, an empty photo or one that is not 8-bit blue-green-red. A failure of the
/// detector itself (std::bad_alloc, cv::Exception) is thrown to the caller, never reported as
/// "no face".
std::vector<cv::Rect> DetectFaces(cv::CascadeClassifier& cascade, const cv::Mat& photo);

/// The face that counts: with one detection that one, with two the wider (the later one on a
/// tie); nullopt for none or three and more.
std::optional<cv::Rect> ChoosePortraitFace(const std::vector<cv::Rect>& faces);

/// The face cascade installed with OpenCV's data files, as found when the build was configured
/// (empty when none was found).
const char* SystemFaceCascade();

/// Where the face cascade is loaded from: `fileName` (relative to the working directory) when it
/// exists, else `systemCopy` when that exists; empty when neither does.
std::string FindFaceCascade(const std::string& fileName = "haarcascade_frontalface_alt2.xml",
                            const std::string& systemCopy = SystemFaceCascade());

/// What the last audit found, beyond its verdict.
struct AuditDetails {
    std::vector<cv::Rect> faces;   ///< every detection, in the fixed order of DetectFaces
    std::optional<cv::Rect> face;  ///< the chosen face
    std::optional<CropPlan> crop;  ///< the accepted crop, on Passed
    AuditWhy why;                  ///< the cause of the verdict and the facts behind it
    /// The size the file's header declared when it had more pixels than the audit's limit
    /// (the verdict is then BadSize, and nothing was decoded).
    std::optional<cv::Size> tooManyPixels;
    /// The decoder's warnings about the file (libjpeg's "Premature end of JPEG file" and the
    /// like), in order; they are not printed anywhere else.
    std::vector<std::string> warnings;
};

/// Sets the calling thread's cv::theRNG() to the state that every thread's generator starts
/// from, so that what follows draws what it would draw first in a freshly started program.
void RestartRandomState();

/// The verdict ladder. A front end derives from it, supplies the three things the ladder asks
/// of a shell (log line, save button, repaint) and calls AuditFile for each chosen file. Each
/// call issues exactly one verdict, or throws (see AuditFile). Not thread-safe; use one instance
/// per thread.
class CPhotoAudit {
public:
    CPhotoAudit() = default;
    virtual ~CPhotoAudit() = default;
    CPhotoAudit(const CPhotoAudit&) = delete;
    CPhotoAudit& operator=(const CPhotoAudit&) = delete;

    /// Loads the face cascade from m_strCascadeFile, or failing that from
    /// m_strSystemCascadeFile. False when neither loads; the classifier is then empty and every
    /// decodable photo gets NoSinglePortrait.
    bool LoadFaceCascade();

    /// Stores `path` and `fileName` (UTF-8, for the log line), decodes the file and audits it.
    /// A photo whose header declares more than m_nMaxPixels pixels gets BadSize at once,
    /// without being decoded.
    /// A failure that is not a property of the photo (std::bad_alloc, or a cv::Exception from
    /// the detector, a resize or a fill) is thrown to the caller. No verdict is then issued (no
    /// verdict line, no save button, no repaint), and the audit is left as if none had been
    /// made: m_nState Idle, m_details and m_matResult empty; m_strPath and m_strFileName name
    /// the photo that failed.
    void AuditFile(const std::string& path, const std::string& fileName);

    /// Rungs 1 and 2: decoding and face count, then JudgePhoto with the chosen face. Throws as
    /// AuditFile does.
    void AuditPhoto(const cv::Mat& photo);

    /// Rungs 3 to 6: size, background, proportion and framing; issues the verdict. Starts from
    /// RestartRandomState() when m_bRestartRandomState is set. Throws as AuditFile does.
    void JudgePhoto(const cv::Rect& face, const cv::Mat& photo);

    int m_nState = Idle;
    std::string m_strPath;      ///< path of the last audited file, as the OS takes it
    std::string m_strFileName;  ///< its file name, UTF-8; begins every verdict line
    std::string m_strCascadeFile = "haarcascade_frontalface_alt2.xml";
    std::string m_strSystemCascadeFile = SystemFaceCascade();
    cv::CascadeClassifier m_faceCascade;
    cv::Mat m_matResult;      ///< the normalised photo of the last Passed verdict
    AuditDetails m_details;   ///< what the last audit found
    /// Photos whose header declares more pixels than this get BadSize without being decoded.
    std::uint64_t m_nMaxPixels = kDefaultMaxPixels;
    /// When set, every audit starts from the random generator's initial state, so that a photo
    /// gets the same verdict wherever it comes in a batch. When clear (the window), the calling
    /// thread's generator carries on from audit to audit.
    bool m_bRestartRandomState = false;

protected:
    /// Writes one verdict line (file name, message and "\r\n") to the run log.
    virtual void WriteVerdictLine(const std::string& line) = 0;
    /// Shows the save button enabled (green) or disabled (grey).
    virtual void ShowSaveButton(bool enabled) = 0;
    /// Asks for the whole window to be painted again.
    virtual void RequestRepaint() = 0;
    /// Rung 2's detection: DetectFaces with m_faceCascade. Replaceable by a front end that
    /// detects otherwise, and by tests.
    virtual std::vector<cv::Rect> FindFaces(const cv::Mat& photo);

private:
    void AuditDecoded(const cv::Mat& photo);
    void JudgeRungs(const cv::Rect& face, const cv::Mat& photo);
    void Forget();
    void IssueVerdict(ResultState state);
};

/// The last component of `path`, with any byte sequence that is not UTF-8 replaced by U+FFFD,
/// as file names appear in log lines and reports.
std::string DisplayFileName(const std::string& path);

/// The length of the valid UTF-8 sequence that starts at text[i] (setting `cp` to its code
/// point), or 0 when none does: overlong forms, surrogates and code points past U+10FFFF are not
/// valid. `i` must be less than text.size().
std::size_t Utf8SequenceAt(const std::string& text, std::size_t i, char32_t& cp);

/// `text` with every byte sequence that is not valid UTF-8 replaced by U+FFFD.
std::string ToValidUtf8(const std::string& text);
