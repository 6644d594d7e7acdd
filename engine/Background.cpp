#include "engine/Background.h"

#include <algorithm>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "engine/FloodFill.h"

namespace {

// Columns of the outer samples from the left and right edges (the third lies at cols / 2).
constexpr int kSampleInset = 5;
// A fill takes pixels whose every channel lies within this of the probe's seed pixel.
constexpr int kProbeTolerance = 30;
// Value below which the mean colour is too dark for any accepted background.
constexpr double kDarkLimit = 0.13;
// White: value at least this ...
constexpr double kWhiteMinValue = 0.9;
// ... and saturation at most this, whatever the hue.
constexpr double kWhiteMaxSaturation = 0.13;
// Red hues wrap around 0 degrees: from this hue up to 360 ...
constexpr double kRedHueFrom = 330;
// ... and from 0 up to, not including, this one.
constexpr double kRedHueTo = 30;
// Blue hues run from this one ...
constexpr double kBlueHueFrom = 180;
// ... to this one, both ends included.
constexpr double kBlueHueTo = 260;
// Samples and probes: at columns kSampleInset, cols / 2 and cols - kSampleInset of the seed row.
constexpr int kProbeCount = 3;

}  // namespace

Hsv RgbToHsv(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
    const double r = red, g = green, b = blue;
    const double max = std::max({r, g, b});
    const double min = std::min({r, g, b});
    Hsv hsv{};
    hsv.value = max / 255;
    if (max == 0) {
        hsv.saturation = 0;
        hsv.hue = -1;
        return hsv;
    }
    hsv.saturation = (max - min) / max;
    const double delta = max - min;
    if (delta == 0) {
        // A grey has no hue; NaN makes every comparison with a hue bound false.
        hsv.hue = std::numeric_limits<double>::quiet_NaN();
        return hsv;
    }
    double h;
    if (r == max) {
        h = (g - b) / delta;
    } else if (g == max) {
        h = (b - r) / delta + 2;
    } else {
        h = (r - g) / delta + 4;
    }
    hsv.hue = h * 60;
    if (hsv.hue < 0) {
        hsv.hue += 360;
    }
    return hsv;
}

std::uint64_t FloodFillArea(const cv::Mat& image, cv::Point seed, cv::RNG& rng) {
    if (image.type() != CV_8UC3 || !cv::Rect(0, 0, image.cols, image.rows).contains(seed)) {
        return 0;
    }
    // The colour does not affect a fixed-range fill's count, but every probe advances the
    // generator by exactly three draws, like any fill of the audit.
    DrawFillColour(rng);
    cv::Mat mask;
    return static_cast<std::uint64_t>(MarkFillRegion(image, seed, kProbeTolerance, mask));
}

BackgroundClass ClassifyBackgroundColour(const Hsv& hsv) {
    if (hsv.value < kDarkLimit) {
        return BackgroundClass::None;
    }
    if (hsv.value >= kWhiteMinValue && hsv.saturation <= kWhiteMaxSaturation) {
        return BackgroundClass::White;
    }
    if (hsv.hue >= kRedHueFrom || hsv.hue < kRedHueTo) {
        return BackgroundClass::Red;
    }
    if (hsv.hue >= kBlueHueFrom && hsv.hue <= kBlueHueTo) {
        return BackgroundClass::Blue;
    }
    return BackgroundClass::None;
}

bool CheckBackground(const cv::Mat& image, BackgroundFacts* facts, cv::RNG& rng) {
    if (!IsCheckableImage(image)) {
        return false;
    }
    const int cols = image.cols;
    const cv::Point seeds[kProbeCount] = {
        {kSampleInset, kSeedRow}, {cols / 2, kSeedRow}, {cols - kSampleInset, kSeedRow}};

    unsigned sum[3] = {0, 0, 0};
    for (const cv::Point& p : seeds) {
        const cv::Vec3b& px = image.at<cv::Vec3b>(p);
        for (int c = 0; c < 3; ++c) {
            sum[c] += px[c];
        }
    }
    const auto mean = [&](int c) { return static_cast<std::uint8_t>(sum[c] / kProbeCount); };
    const Hsv hsv = RgbToHsv(mean(2), mean(1), mean(0));
    const BackgroundClass colour = ClassifyBackgroundColour(hsv);
    const int pixels = image.rows * image.cols;
    if (facts != nullptr) {
        *facts = BackgroundFacts{};
        for (int i = 0; i < kProbeCount; ++i) {
            BackgroundProbe& probe = facts->probes[static_cast<std::size_t>(i)];
            const cv::Vec3b& px = image.at<cv::Vec3b>(seeds[i]);
            probe.point = seeds[i];
            probe.hsv = RgbToHsv(px[2], px[1], px[0]);
            probe.colour = ClassifyBackgroundColour(probe.hsv);
        }
        facts->mean = hsv;
        facts->meanColour = colour;
        facts->pixels = pixels;
        facts->outcome = hsv.value < kDarkLimit ? BackgroundOutcome::TooDark
                                                : BackgroundOutcome::NotAccepted;
    }
    if (colour == BackgroundClass::None) {
        return false;
    }

    // The test is mean / pixels > kMinCoverage with mean = (count 1 + count 2 + count 3) / 3, and
    // counts are never negative: once the probes done so far pass it, the rest cannot change the
    // answer, and their fills are skipped. Every probe still draws its fill colour, so the
    // generator advances by three draws per probe whatever the counts.
    const auto share = [pixels](std::uint64_t total) {
        return static_cast<double>(total / kProbeCount) / pixels;
    };
    std::uint64_t total = 0;
    cv::Mat mask;
    for (int i = 0; i < kProbeCount; ++i) {
        DrawFillColour(rng);
        if (!(share(total) > kMinCoverage)) {
            const auto count =
                static_cast<std::uint64_t>(MarkFillRegion(image, seeds[i], kProbeTolerance, mask));
            total += count;
            if (facts != nullptr) {
                facts->probes[static_cast<std::size_t>(i)].fill = count;
            }
        }
    }
    const bool covered = share(total) > kMinCoverage;
    if (facts != nullptr) {
        facts->coverage = share(total);
        facts->outcome = covered ? BackgroundOutcome::Plain : BackgroundOutcome::NotPlain;
    }
    return covered;
}
