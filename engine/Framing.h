#pragma once

#include <optional>

#include <opencv2/core.hpp>

/// The normalised photo is at least this wide: narrower crops are enlarged ...
inline constexpr int kNormalisedMinWidth = 215;
/// ... and a crop this wide or wider is reduced to it (except a widened one).
inline constexpr int kNormalisedMaxWidth = 295;
/// Every crop, and the normalised photo, is this many times as high as it is wide (the height
/// is trunc(kNormalisedAspect x width)).
inline constexpr double kNormalisedAspect = 1.4;

/// The face must be at least this share of the photo's width ...
inline constexpr double kMinFaceShare = 0.2;
/// ... and at most this share; both ends pass.
inline constexpr double kMaxFaceShare = 0.8;

/// The crop chosen for a portrait: which crop of the photo, the scale applied to the whole photo
/// and the size of the normalised photo.
struct CropPlan {
    double spaceRatio = 0;   ///< ratio of free space above the face to free space below it (k)
    double widthFactor = 0;  ///< width factor of the accepted crop (r)
    int x0 = 0;        ///< first column of the crop in the photo
    int y0 = 0;        ///< first row of the crop in the photo
    int x1 = 0;        ///< column after the last of the crop
    int y1 = 0;        ///< row after the last of the crop
    double scale = 1;  ///< scale factor applied to the whole photo
    int width = 0;     ///< width of the normalised photo (215 to 295 normally)
    int height = 0;    ///< height of the normalised photo, trunc(1.4 * width)
    cv::Size resized;  ///< size of the photo after scaling by f
    cv::Rect sub;      ///< the tW x tH rectangle cut from the resized photo, before any clipping
};

/// What stopped the crop search at one ratio, or at all of them.
enum class CropLimit : int {
    None = 0,  ///< nothing: a crop was accepted (or the search never ran)
    Above,     ///< the crop ran off the top of the photo: too little room above the head
    Below,     ///< the crop ran off the bottom: the photo is too short below the chin
    Sides,     ///< the crop ran off the left or right edge: too narrow at the sides
    Enlarge,   ///< a full-width crop fitted but was too small to enlarge by less than 1.25
};
inline constexpr int kCropLimitCount = 5;

/// The crop search's account of itself, kept as it runs.
struct CropTrail {
    /// Ratios k tried and rejected, counted by the limit that rejected each. A ratio whose crop
    /// had to be narrowed and then was too small to enlarge counts for the limit that forced
    /// the narrowing, since that is what made it small.
    int rejected[kCropLimitCount] = {};
    /// The limit that rejected the most ratios (ties go to the earlier of Above, Below, Sides,
    /// Enlarge); None when a crop was accepted or no ratio was tried.
    CropLimit stop = CropLimit::None;
    /// The crop tried at the first ratio rejected by `stop`, in photo pixels (it may reach
    /// outside the photo); the accepted crop when there is one; empty when no crop was tried.
    cv::Rect tried;
};

/// Searches the crop of height 1.4 x width around `face` in a photo of `cols` x `rows`, whose
/// head top lies on `headTopRow`. A pure function of its arguments; nullopt when no ratio yields
/// an accepted crop, when the face is degenerate, or when the head top is not a row above the
/// face (0 <= headTopRow < face.y).
/// `trail`, when given, receives the search's account of itself.
std::optional<CropPlan> PlanPortraitCrop(int cols, int rows, const cv::Rect& face, int headTopRow,
                                         CropTrail* trail = nullptr);

/// The top of the head: flood-fills a copy of the photo from (cols/2, 5) with a fixed range of 20
/// and returns the first row above the face in which at least 5 % of the pixels across the face's
/// width do not carry the fill colour. Draws the fill colour from `rng` first (three draws). nullopt when no
/// row qualifies, or for input the audit never passes (not 8-bit 3-channel, fewer than 6 rows or
/// columns, face not inside the photo).
std::optional<int> FindHeadTop(const cv::Mat& photo, const cv::Rect& face,
                               cv::RNG& rng = cv::theRNG());

/// What the proportion and framing rung measured, captured as it ran.
struct FramingFacts {
    double faceShare = 0;        ///< face width / photo width, as the proportion gate compared it
    bool framed = false;         ///< the gate passed and the head top was looked for
    std::optional<int> headTop;  ///< the head-top row, when one was found
    std::optional<double> roomAbove;  ///< rows above the head top, in face heights
    double roomBelow = 0;        ///< rows below the face (the chin), in face heights
    CropTrail trail;             ///< the crop search's account, when it ran
};

/// Frames the portrait and, on success, writes the tW x tH normalised photo (own pixels) into
/// `result`. The head-top search runs first; `plan`, when given, receives the accepted crop.
/// False leaves `result` untouched.
/// `facts`, when given, receives the head top, the plan and the search's account.
bool FramePortrait(const cv::Mat& photo, const cv::Rect& face, cv::Mat& result,
                   CropPlan* plan = nullptr, FramingFacts* facts = nullptr,
                   cv::RNG& rng = cv::theRNG());

/// The proportion and framing rung: false at once when the face is under a fifth or over four
/// fifths of the photo's width; otherwise FramePortrait. False leaves `result` untouched.
/// `facts`, when given, receives what the rung measured (see FramingFacts).
/// The fill colour comes from `rng`, which is not drawn from when the gate fails.
bool CheckProportion(const cv::Mat& photo, const cv::Rect& face, cv::Mat& result,
                     CropPlan* plan = nullptr, FramingFacts* facts = nullptr,
                     cv::RNG& rng = cv::theRNG());

/// Cuts the plan's sub-rectangle from `photo` scaled by plan.scale (INTER_AREA). The rectangle is
/// clipped to the scaled photo and extended at the right and bottom by repeating the last column
/// and row, so the result is always plan.width x plan.height with pixels of its own.
cv::Mat BuildNormalisedPhoto(const cv::Mat& photo, const CropPlan& plan);
