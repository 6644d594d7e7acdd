#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include <opencv2/core.hpp>

/// The share of the picture that the background probes' fills must cover on average, exceeded.
inline constexpr double kMinCoverage = 0.2;

/// Hue (degrees, [0, 360); -1 for black; NaN for a grey), saturation and value ([0, 1]).
struct Hsv {
    double hue;
    double saturation;
    double value;
};

/// Converts one 8-bit colour to hue, saturation and value. A tie for the largest channel
/// takes red before green before blue; a grey other than black has an undefined (NaN) hue.
Hsv RgbToHsv(std::uint8_t red, std::uint8_t green, std::uint8_t blue);

/// The number of pixels that a flood fill from `seed` (4-connected, fixed range of 30 in each
/// colour channel) fills, seed included. Draws three values from `rng` first. `image` is never changed. Returns 0 for a seed outside the image
/// or an image that is not 8-bit 3-channel.
std::uint64_t FloodFillArea(const cv::Mat& image, cv::Point seed, cv::RNG& rng = cv::theRNG());

/// The background colours the check tells apart; None is any other colour, or too dark.
enum class BackgroundClass : int { None = 0, Red, Blue, White };

/// The class of a colour by the background rule: None below value 0.13; White at value 0.9 or
/// more with saturation 0.13 or less; else Red for hue in [330, 360) or [0, 30), Blue for hue in
/// [180, 260]; None for any other hue, and for a grey's undefined hue.
BackgroundClass ClassifyBackgroundColour(const Hsv& hsv);

/// How the background check ended.
enum class BackgroundOutcome : int {
    TooDark = 0,  ///< the mean colour of the samples is below the dark limit
    NotAccepted,  ///< the mean colour is not red, blue or white
    NotPlain,     ///< the probes' fills cover too little of the picture
    Plain,        ///< passed
};

/// One of the three samples, which is also the seed of one probe fill.
struct BackgroundProbe {
    cv::Point point;                   ///< the sample point and fill seed
    Hsv hsv{};                         ///< the pixel's own colour
    BackgroundClass colour{};          ///< the pixel's own class, by the same rule as the mean
    std::optional<std::uint64_t> fill; ///< pixels its fill covered; none when not filled
};

/// What the background check measured, captured as it ran.
struct BackgroundFacts {
    std::array<BackgroundProbe, 3> probes{};
    Hsv mean{};                         ///< colour of the per-channel mean of the samples
    BackgroundClass meanColour{};       ///< its class: the one that decides
    int pixels = 0;                     ///< rows x cols
    std::optional<double> coverage;     ///< mean fill / pixels as compared with kMinCoverage;
                                        ///< none when no fill ran (rejected on colour)
    BackgroundOutcome outcome = BackgroundOutcome::TooDark;
};

/// True when the background along the top of `image` (row 5 at columns 5, cols/2 and cols-5)
/// is plain red, blue or white and the regions connected to those three points cover on average
/// more than a fifth of the picture. False for anything else, including images that are not
/// 8-bit 3-channel or have fewer than 6 rows or 6 columns. `image` is never changed.
/// `facts`, when given, receives what the check measured (left as it was for an image it
/// cannot read). Fills that cannot change the answer are skipped; their probes have no fill.
/// Each probe draws its fill colour from `rng` (three draws), skipped or not.
bool CheckBackground(const cv::Mat& image, BackgroundFacts* facts = nullptr,
                     cv::RNG& rng = cv::theRNG());
