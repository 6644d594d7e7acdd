#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/Background.h"
#include "engine/Framing.h"

/// Why an audit ended as it did: one cause for each way the verdict ladder can end.
enum class WhyCause : int {
    None = 0,               ///< passed, or not audited
    NotAnImage,             ///< BadFormat: the file does not decode
    NoFace,                 ///< NoSinglePortrait with no detection
    TooManyFaces,           ///< NoSinglePortrait with three detections or more
    FileTooSmall,           ///< BadSize: fewer bytes than the minimum
    TooFewPixels,           ///< BadSize: narrower or lower than the minimum
    BackgroundTooDark,      ///< BadBackground: mean sample colour below the dark limit
    BackgroundNotAccepted,  ///< BadBackground: mean sample colour not red, blue or white
    BackgroundNotPlain,     ///< BadBackground: the probes' fills cover too little
    FaceTooSmall,           ///< BadProportion: face under the smallest share of the width
    FaceTooLarge,           ///< BadProportion: face over the largest share of the width
    HeadTopNotFound,        ///< BadProportion: no row above the face shows the head
    NoRoomAbove,            ///< BadProportion: crops run off the top
    NoRoomBelow,            ///< BadProportion: crops run off the bottom
    NoRoomAtSides,          ///< BadProportion: crops run off the left or right
    TooSmallToEnlarge,      ///< BadProportion: a fitting crop is too small to enlarge
    NoCrop,                 ///< BadProportion: an accepted crop could not be cut
    TooManyPixels,          ///< BadSize: refused from its header, far too many pixels to decode
    FileTooLarge,           ///< BadSize: a file longer than any photo needs, refused unread
    TooManyScans,           ///< BadFormat: a JPEG of more scans than any camera writes
    BackgroundTransparent,  ///< BadBackground: the photo is transparent where the background is
};
inline constexpr int kWhyCauseCount = 21;

/// The file's size as the size rung compared it with kMinPhotoFileLength and the pixel minimums.
struct SizeFacts {
    std::uint64_t bytes = 0;
    int width = 0;
    int height = 0;
};

/// What the ladder measured on the rungs it ran, captured as it ran. A rung that did not run has
/// no facts.
struct AuditWhy {
    WhyCause cause = WhyCause::None;
    std::optional<SizeFacts> size;
    std::optional<BackgroundFacts> background;
    std::optional<FramingFacts> framing;  ///< the proportion gate and, past it, the framing
    /// The file declares transparency, which decoding drops (transparent pixels then show the
    /// colour stored under them, mostly black).
    bool transparent = false;
};

/// The cause's name as written in reports ("FaceTooSmall", ...); "None" for None.
const char* WhyCauseName(WhyCause cause);

/// What the candidate should change, in plain Chinese, one fixed text per cause; empty for None.
const char* WhyHint(WhyCause cause);

/// "red", "blue", "white" or "none".
const char* BackgroundClassName(BackgroundClass colour);

/// "above", "below", "sides", "enlarge" or "none".
const char* CropLimitName(CropLimit limit);

/// The cause of a failed background check.
WhyCause BackgroundCause(const BackgroundFacts& facts);

/// The cause of a failed proportion and framing rung.
WhyCause FramingCause(const FramingFacts& facts);

/// A short plain reason for a report line: the hint and the figures that decided, such as
/// "人脸太小，请靠近镜头 (face 0.16 of the width, needs 0.2 to 0.8)". For a passed photo the
/// accepted ratio, width factor and scale, when `crop` is given.
std::string WhyReason(const AuditWhy& why, const std::optional<CropPlan>& crop);
