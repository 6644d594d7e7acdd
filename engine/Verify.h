#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/objdetect.hpp>

/// The outcome of verifying a file as a photo that Vetrix saved. The checks run in the order of
/// the enumerators from NoTrailer to NoFace; the first that fails is the outcome.
///
/// What each outcome proves:
/// - NoTrailer: the file does not end with the 10-byte trailer; Vetrix did not save it as it is.
///   Data added after the trailer, or a trailer cut short, ends here.
/// - NotJpeg: the bytes before the trailer are not exactly one JPEG stream that libjpeg decodes
///   without a warning and that ends with its end-of-image marker (another format with the
///   trailer appended, a damaged or truncated stream, data between the image and the trailer).
/// - WrongSize: the image is not 215 to 295 pixels wide with a height of trunc(1.4 x width),
///   the only sizes the normalisation makes (a crop, a resize, a rotation).
/// - Reencoded: the quantisation tables are not those libjpeg writes at quality 50 for a colour
///   photo, so the pixels were encoded again by something else or at another quality.
/// - NoFace: the audit's face detector finds no face, or three or more, in the decoded photo,
///   upright or turned by a quarter, half or three quarters. (The audit accepts a face lying on
///   its side, which the detector then finds in the whole photo but not in the normalised crop.)
/// - Verified: all of the above hold.
///
/// What Verified cannot prove: the trailer is not a signature, and anyone can append it. A photo
/// encoded at quality 50 by libjpeg with any tool, at a size the normalisation could make, with
/// a face in it and the trailer appended, verifies although Vetrix never audited it. A byte
/// changed inside the compressed picture data may still decode cleanly and verify. Verification
/// tells an honest mistake (wrong file, edited or recompressed photo) from the right file; it
/// does not stop a forger.
enum class VerifyOutcome : int {
    Verified = 0,
    NoTrailer = 1,
    NotJpeg = 2,
    WrongSize = 3,
    Reencoded = 4,
    NoFace = 5,
};

/// The enumerator's name ("Verified", "NoTrailer", ...).
const char* VerifyOutcomeName(VerifyOutcome outcome);

/// A short explanation of the outcome in Chinese, as the other messages of the tool.
const char* VerifyOutcomeMessage(VerifyOutcome outcome);

/// Widest image the verification decodes; anything larger is WrongSize without being decoded.
inline constexpr std::uint64_t kVerifyMaxPixels = 50'000'000;

/// What a verification found.
struct VerifyResult {
    VerifyOutcome outcome = VerifyOutcome::NoTrailer;
    int width = 0;                ///< of the JPEG, once its header was read; else 0
    int height = 0;
    std::vector<cv::Rect> faces;  ///< the detections, when the detector ran (NoFace, Verified)
    int turn = 0;                 ///< clockwise degrees (0, 90, 180, 270) the faces were found at
};

/// Verifies the `size` bytes at `data` (a whole file). `cascade` is the audit's face classifier
/// (not shared between threads). Decodes at most kVerifyMaxPixels pixels; any content has an
/// outcome. Throws std::bad_alloc or cv::Exception only when memory runs out or the detector
/// fails, never to report an outcome. Reading the file is the caller's task.
VerifyResult VerifySavedPhoto(const std::uint8_t* data, std::size_t size,
                              cv::CascadeClassifier& cascade);

/// The image of a stream that passed the NotJpeg check, decoded by libjpeg in blue-green-red
/// order, or an empty matrix when `jpeg` (without the trailer) is not one clean JPEG stream.
/// Exposed so that tests can compare it with OpenCV's decoder.
cv::Mat DecodeStrictJpeg(const std::uint8_t* jpeg, std::size_t size);

/// The result as a single-line JSON object (no line end) with the keys file (only when `file`
/// is given, as JsonFileMembers writes it, with file_escaped for a name that is not UTF-8),
/// outcome (the name), verified (true or false), message, size ([w, h] of the JPEG,
/// or null before its header was read), faces (every detection as [x, y, w, h]) and turn.
std::string VerifyJson(const std::optional<std::string>& file, const VerifyResult& result);
