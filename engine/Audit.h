#pragma once

// The verdict ladder as a function: a photo's bytes (and options) in, a result out. Every front
// end calls it; none adds a rung or changes one.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/objdetect.hpp>

#include "engine/Decode.h"
#include "engine/Framing.h"
#include "engine/ResultState.h"
#include "engine/Why.h"
#include "platform/Files.h"

/// Smallest accepted file, in bytes (30 x 1024; exactly this many passes).
inline constexpr std::uint64_t kMinPhotoFileLength = 30720;
/// Smallest accepted photo, in pixels (exactly these pass).
inline constexpr int kMinPhotoColumns = 215;
inline constexpr int kMinPhotoRows = 300;

/// The state of the fill colours' generator that every audit starts from unless told otherwise:
/// the state cv::RNG() starts in, so that an audit draws the colours that the first audit of a
/// freshly started program draws. The colours decide a verdict only where a pixel beside the
/// head happens to have exactly the drawn colour; a fixed start makes even that the same for
/// the same bytes on every front end, in every order.
inline constexpr std::uint64_t kDefaultFillSeed = 0xFFFFFFFF;

/// What an audit is given besides the photo.
struct AuditOptions {
    /// Photos whose header declares more pixels are BadSize without being decoded.
    std::uint64_t maxPixels = kDefaultMaxPixels;
    /// The fill colours' generator starts in this state (a cv::RNG state; 0 is taken as
    /// cv::RNG takes it).
    std::uint64_t fillSeed = kDefaultFillSeed;
};

/// Finds the faces of a decoded photo (8-bit blue-green-red), in a fixed order.
using FaceFinder = std::function<std::vector<cv::Rect>(const cv::Mat& photo)>;

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

/// A FaceFinder calling DetectFaces with `cascade`, which must outlive it and is not to be
/// shared between threads.
FaceFinder CascadeFaceFinder(cv::CascadeClassifier& cascade);

/// The face that counts: with one detection that one, with two the wider (the later one on a
/// tie); nullopt for none or three and more.
std::optional<cv::Rect> ChoosePortraitFace(const std::vector<cv::Rect>& faces);

/// The face cascade installed with OpenCV's data files, as found when the build was configured
/// (empty when none was found); a relative path there is taken beside the executable
/// (InstalledFilePath).
const char* SystemFaceCascade();

/// Loads the face cascade in the file at `path` into `cascade`, reading it through the platform's
/// file reader, so that every name the system can hold opens. False when the file cannot be
/// read or holds no cascade; `cascade` is then empty. A damaged file may throw cv::Exception.
bool LoadFaceCascadeFile(cv::CascadeClassifier& cascade, const std::string& path);

/// Where the face cascade is loaded from: `fileName` (relative to the working directory) when it
/// exists, else `systemCopy` when that exists; empty when neither does.
std::string FindFaceCascade(const std::string& fileName = "haarcascade_frontalface_alt2.xml",
                            const std::string& systemCopy = SystemFaceCascade());

/// What an audit found, beyond its verdict.
struct AuditDetails {
    std::vector<cv::Rect> faces;   ///< every detection, in the fixed order of DetectFaces
    std::optional<cv::Rect> face;  ///< the chosen face
    std::optional<CropPlan> crop;  ///< the accepted crop, on Passed
    AuditWhy why;                  ///< the cause of the verdict and the facts behind it
    /// The size the file's header declared when it had more pixels than the audit's limit
    /// (the verdict is then BadSize, and nothing was decoded).
    std::optional<cv::Size> tooManyPixels;
    /// The decoder's warnings about the file (libjpeg's "Premature end of JPEG file" and the
    /// like), in order.
    std::vector<std::string> warnings;
};

/// One audit's outcome: always a verdict (never Idle).
struct AuditResult {
    ResultState state = BadFormat;
    AuditDetails details;
    cv::Mat normalised;  ///< the normalised photo (pixels of its own), on Passed only
};

/// The whole ladder on a photo's file bytes: decoding (DecodePhotoBytes), face count, then
/// JudgePortrait with the chosen face and bytes.size() as the file's length. Nothing is written
/// anywhere. A failure that is not a property of the photo (std::bad_alloc, or a cv::Exception
/// from the detector, a resize or a fill) is thrown, never turned into a verdict.
AuditResult AuditPhotoBytes(std::span<const std::uint8_t> bytes, const FaceFinder& findFaces,
                            const AuditOptions& options = {});

/// Rungs 2 to 6 on a photo already decoded from a file of `fileLength` bytes: face count, then
/// JudgePortrait. An empty photo is BadFormat. Throws as AuditPhotoBytes does.
AuditResult AuditDecodedPhoto(const cv::Mat& photo, std::uint64_t fileLength,
                              const FaceFinder& findFaces, const AuditOptions& options = {});

/// Rungs 3 to 6 (size, background, proportion and framing) for `face` in `photo`, decoded from a
/// file of `fileLength` bytes. The fill colours are drawn from options.fillSeed. Throws as
/// AuditPhotoBytes does.
AuditResult JudgePortrait(const cv::Rect& face, const cv::Mat& photo, std::uint64_t fileLength,
                          const AuditOptions& options = {});

/// The audit of a file, or why there is none.
struct FileAudit {
    /// Set when the file could not be read (missing, permission denied, a folder, ...): there is
    /// then no verdict, since nothing was looked at.
    std::error_code error;
    AuditResult result;  ///< the verdict, when `error` is clear
};

/// Audits a file as it was read (ReadFileBytes with kMaxPhotoFileBytes): its bytes with
/// AuditPhotoBytes; a file refused as too long is BadSize (FileTooLarge); any other read error
/// is returned as the error, with no verdict. Throws as AuditPhotoBytes does.
FileAudit AuditReadFile(const FileBytes& file, const FaceFinder& findFaces,
                        const AuditOptions& options = {});

/// AuditReadFile of the file at `path`, read with ReadFileBytes up to kMaxPhotoFileBytes.
FileAudit AuditPhotoFile(const std::string& path, const FaceFinder& findFaces,
                         const AuditOptions& options = {});

/// The last component of `path`, with any byte sequence that is not UTF-8 replaced by U+FFFD,
/// as file names appear in log lines and reports.
std::string DisplayFileName(const std::string& path);

/// The length of the valid UTF-8 sequence that starts at text[i] (setting `cp` to its code
/// point), or 0 when none does: overlong forms, surrogates and code points past U+10FFFF are not
/// valid. `i` must be less than text.size().
std::size_t Utf8SequenceAt(const std::string& text, std::size_t i, char32_t& cp);

/// `text` with every byte sequence that is not valid UTF-8 replaced by U+FFFD.
std::string ToValidUtf8(const std::string& text);
