#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/objdetect.hpp>

/// The outcome of verifying a file as a photo that Vetrix saved. The checks run in this order and
/// the first that fails is the outcome (the enumerators' values are stable, not the order):
///
/// 1. NoTrailer: the file does not end with the 10-byte trailer; Vetrix did not save it as it
///    is. Data added after the trailer, or a trailer cut short, ends here.
/// 2. NotJpeg: the bytes before the trailer cannot be walked as one JPEG stream: no start-of-
///    image marker, a segment running past the end, a byte where a marker must be, a marker no
///    JPEG has, a scan without a frame header, or no end-of-image marker (another format with
///    the trailer appended, a truncated stream).
/// 3. DataAfterImage: the stream's end-of-image marker is followed by more bytes before the
///    trailer (data hidden there, a second image).
/// 4. NotBaseline: the frame is not baseline Huffman coded (SOF0), for instance progressive
///    (SOF2) or arithmetic coded (SOF9 and up); Vetrix writes only baseline.
/// 5. ExtraSegment: a segment the encoder does not write (a comment, EXIF or any other
///    application segment, a restart interval, ...), or more of a kind than it writes: one
///    APP0, two DQT, one SOF0, four DHT, one SOS.
/// 6. AlteredStructure: the segments are not exactly in the encoder's order and layout: SOI,
///    APP0 with libjpeg's JFIF header, DQT of table 0 then of table 1 (8-bit), SOF0 of 8 bits
///    with components 1, 2, 3 sampled 2x2, 1x1, 1x1 on tables 0, 1, 1, DHT of DC 0, AC 0, DC 1,
///    AC 1 (one table each), SOS of the three components on tables 0/0, 1/1, 1/1 over the whole
///    spectrum, then the picture data without restart markers or fill bytes, then EOI.
/// 7. WrongSize: the image is not 215 to 295 pixels wide with a height of trunc(1.4 x width),
///    the only sizes the normalisation makes (a crop, a resize, a rotation).
/// 8. Reencoded: the quantisation tables are not those libjpeg writes at quality 50 for a colour
///    photo, or the Huffman tables not its standard ones, so the pixels were encoded again by
///    something else, at another quality or with optimised coding.
/// 9. NotJpeg: libjpeg does not decode the picture data cleanly (a warning, data cut short).
/// 10. NoFace: the audit's face detector finds no face, or three or more, in the decoded photo,
///    upright or turned by a quarter, half or three quarters. (The audit accepts a face lying
///    on its side, which the detector then finds in the whole photo but not in the normalised
///    crop.)
/// - Verified: all of the above hold. Checks 1 to 8 read the bytes only, so that a file that
///   fails them is answered without being decoded.
///
/// What Verified cannot prove: the trailer is not a signature, and anyone can append it. A photo
/// edited and encoded again by the same encoder (OpenCV's libjpeg at quality 50, baseline,
/// standard tables), at a size the normalisation could make, with a face in it and the trailer
/// appended, has every byte of structure that Vetrix writes and verifies although Vetrix never
/// audited it. A byte changed inside the compressed picture data may still decode cleanly and
/// verify. Verified says the file has exactly the structure, size and tables Vetrix writes and
/// shows a face; it tells an honest mistake (wrong file, file edited with another tool,
/// recompressed or with data added) from the right file, but does not stop a forger (docs/verify.md
/// says so for users).
enum class VerifyOutcome : int {
    Verified = 0,
    NoTrailer = 1,
    NotJpeg = 2,
    WrongSize = 3,
    Reencoded = 4,
    NoFace = 5,
    DataAfterImage = 6,
    NotBaseline = 7,
    ExtraSegment = 8,
    AlteredStructure = 9,
};

/// The enumerator's name ("Verified", "NoTrailer", ...).
const char* VerifyOutcomeName(VerifyOutcome outcome);

/// A short explanation of the outcome in Chinese, as the other messages of the tool.
const char* VerifyOutcomeMessage(VerifyOutcome outcome);

/// Widest image DecodeStrictJpeg decodes. (Verification decodes only the sizes it accepts.)
inline constexpr std::uint64_t kVerifyMaxPixels = 50'000'000;

/// What a verification found.
struct VerifyResult {
    VerifyOutcome outcome = VerifyOutcome::NoTrailer;
    int width = 0;  ///< of the JPEG, once its header was read; else 0
    int height = 0;
    std::vector<cv::Rect> faces;  ///< the detections, when the detector ran (NoFace, Verified)
    int turn = 0;                 ///< clockwise degrees (0, 90, 180, 270) the faces were found at
};

/// What the checks that read the bytes only found (checks 1 to 8 of VerifyOutcome).
struct SavedLayout {
    std::optional<VerifyOutcome> failure;  ///< the first that fails; empty when all hold
    int width = 0;  ///< from the first frame header, once one was read; else 0
    int height = 0;
};

/// Runs the checks of VerifySavedPhoto that read the `size` bytes at `data` (a whole file)
/// without decoding anything: trailer, marker structure, frame type, segments, size and tables.
/// Takes time in proportion to the file's length and a few kilobytes of memory, whatever the
/// header claims. The first call encodes one tiny photo with EncodeApprovedPhoto to learn the
/// exact segments Vetrix writes.
SavedLayout CheckSavedLayout(const std::uint8_t* data, std::size_t size);

/// Verifies the `size` bytes at `data` (a whole file). `cascade` is the audit's face classifier
/// (not shared between threads). Runs CheckSavedLayout first and decodes only a file that passes
/// it, so only a saved size (at most 295 x 413) is ever decoded; any content has an outcome.
/// Throws std::bad_alloc or cv::Exception only when memory runs out or the detector fails, never
/// to report an outcome. Reading the file is the caller's task.
VerifyResult VerifySavedPhoto(const std::uint8_t* data, std::size_t size,
                              cv::CascadeClassifier& cascade);

/// The image of the JPEG stream `jpeg` (without the trailer) decoded by libjpeg in blue-green-red
/// order, or an empty matrix when it is not one clean stream ending with its end-of-image marker
/// or has more than kVerifyMaxPixels pixels. Exposed so that tests can compare it with OpenCV's
/// decoder.
cv::Mat DecodeStrictJpeg(const std::uint8_t* jpeg, std::size_t size);

/// The result as a single-line JSON object (no line end) with the keys file (only when `file`
/// is given, as JsonFileMembers writes it, with file_escaped for a name that is not UTF-8),
/// outcome (the name), verified (true or false), message, size ([w, h] of the JPEG,
/// or null before its header was read), faces (every detection as [x, y, w, h]) and turn.
std::string VerifyJson(const std::optional<std::string>& file, const VerifyResult& result);
