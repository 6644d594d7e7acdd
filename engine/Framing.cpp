#include "engine/Framing.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "engine/FloodFill.h"

namespace {

constexpr int kMinKeptWidth = kNormalisedMinWidth;
constexpr int kMaxKeptWidth = kNormalisedMaxWidth;
// The head-top fill takes pixels whose every channel lies within this of the seed pixel.
constexpr int kHeadTopTolerance = 20;
// A row is the head top when at least this share of the face's width is not background.
constexpr double kHeadTopShare = 0.05;
// The crop's top may reach this many rows above the head top.
constexpr int kHeadMargin = 10;
constexpr double kCropAspect = kNormalisedAspect;
// Free height of a crop, in half face heights, is r * kFreePerWidth + kFreeBase.
constexpr double kFreePerWidth = 2.8;
constexpr double kFreeBase = 0.8;  // the free height left at r = 0
// The ratio k of the free space above the face to that below it: both passes start here ...
constexpr double kFirstRatio = 0.8;
// ... and step by this, by repeated addition or subtraction ...
constexpr double kRatioStep = 0.05;
// ... the first pass up while k <= kMaxRatio ...
constexpr double kMaxRatio = 2.0;
// ... the second pass down while k >= kMinRatio.
constexpr double kMinRatio = 0.5;
// Width factors r are searched in steps of this size ...
constexpr double kWidthStep = 0.005;
// The standard crop's width factor: the crop is twice as wide as the face.
constexpr double kStandardR = 1;
// Widening starts one step past the standard crop (the literal, not 1 + kWidthStep) ...
constexpr double kWidenFrom = 1.005;
// ... while r <= kWidenTo ...
constexpr double kWidenTo = 2.005;
// ... and narrowing one step below it (again the literal).
constexpr double kNarrowFrom = 0.995;
// A narrow crop is enlarged to kMinKeptWidth only by a factor strictly below this.
constexpr double kMaxEnlargement = 1.25;
// Added to a scaled crop origin before it is truncated to a pixel.
constexpr double kOriginOffset = -0.5;

// Pixel positions are the double truncated toward zero, like a cast to int. Values outside the
// int range only arise from input the audit never passes; they saturate instead of overflowing.
int Trunc(double v) {
    if (std::isnan(v)) {
        return 0;
    }
    if (v >= static_cast<double>(std::numeric_limits<int>::max())) {
        return std::numeric_limits<int>::max();
    }
    if (v <= static_cast<double>(std::numeric_limits<int>::min())) {
        return std::numeric_limits<int>::min();
    }
    return static_cast<int>(v);
}

struct Crop {
    int x0, y0, x1, y1, W;
};

// Everything the crop search needs, fixed for one photo and face.
class CropSearch {
public:
    CropSearch(int cols, int rows, const cv::Rect& face, int headTopRow, CropTrail* trail)
        : trail_(trail),
          cols_(cols),
          rows_(rows),
          fx_(face.x),
          fy_(face.y),
          fw_(face.width),
          hw_(face.width / 2),
          hh_(face.height / 2) {
        const int marginRow = headTopRow >= kHeadMargin ? headTopRow - kHeadMargin : 0;
        T_ = fy_ - marginRow;
    }

    std::optional<CropPlan> Run() {
        // Both passes step k by repeated addition, so 2.0 and 0.5 are never reached exactly.
        for (double k = kFirstRatio; k <= kMaxRatio; k += kRatioStep) {
            if (TryRatio(k)) {
                return Accepted();
            }
        }
        for (double k = kFirstRatio - kRatioStep; k >= kMinRatio; k -= kRatioStep) {
            if (TryRatio(k)) {
                return Accepted();
            }
        }
        if (trail_ != nullptr) {
            // The limit met most often; the earlier limit on a tie.
            int stop = 0;
            for (int l = 1; l < kCropLimitCount; ++l) {
                if (trail_->rejected[l] > trail_->rejected[stop]) {
                    stop = l;
                }
            }
            trail_->stop = static_cast<CropLimit>(stop);
            trail_->tried = stop == 0 ? cv::Rect() : firstTried_[stop];
        }
        return std::nullopt;
    }

private:
    // The free height (r * kFreePerWidth + kFreeBase) * hh is shared k : 1 above and below the
    // face; the order of operations is part of the result, since every position is truncated.
    Crop CropOf(double kf, double r) const {
        Crop c{};
        const double dx = hw_ * r;
        c.x0 = Trunc(fx_ - dx);
        c.y0 = Trunc(fy_ - ((r * kFreePerWidth + kFreeBase) * kf) * hh_);
        c.x1 = Trunc(static_cast<double>(fx_ + fw_) + dx);
        c.W = Trunc(static_cast<double>(c.x1) - c.x0);
        c.y1 = Trunc(c.W * kCropAspect + c.y0);
        return c;
    }

    bool Fits(const Crop& c) const {
        return c.x0 >= 0 && c.y0 >= 0 && c.x1 <= cols_ && c.y1 <= rows_;
    }

    // The edge that a crop which does not fit runs over, looked at from the top.
    CropLimit LimitOf(const Crop& c) const {
        if (c.y0 < 0) {
            return CropLimit::Above;
        }
        if (c.y1 > rows_) {
            return CropLimit::Below;
        }
        return c.x0 < 0 || c.x1 > cols_ ? CropLimit::Sides : CropLimit::None;
    }

    // Notes that the current ratio was rejected by `limit`, at crop `c`. Only on the way out of a
    // rejected ratio, so the accepted path costs nothing.
    bool Reject(CropLimit limit, const Crop& c) {
        if (trail_ != nullptr) {
            const int l = static_cast<int>(limit);
            if (trail_->rejected[l]++ == 0) {
                firstTried_[l] = cv::Rect(c.x0, c.y0, c.W, c.y1 - c.y0);
            }
        }
        return false;
    }

    CropPlan Accepted() {
        if (trail_ != nullptr) {
            trail_->stop = CropLimit::None;
            trail_->tried = cv::Rect(plan_.x0, plan_.y0, plan_.x1 - plan_.x0, plan_.y1 - plan_.y0);
        }
        return plan_;
    }

    bool Accept(double k, double r, const Crop& c, double f, int tW) {
        plan_ = CropPlan{};
        plan_.spaceRatio = k;
        plan_.widthFactor = r;
        plan_.x0 = c.x0;
        plan_.y0 = c.y0;
        plan_.x1 = c.x1;
        plan_.y1 = c.y1;
        plan_.scale = f;
        plan_.width = tW;
        plan_.height = Trunc(kCropAspect * tW);
        plan_.resized = cv::Size(Trunc(f * cols_), Trunc(rows_ * f));
        plan_.sub = cv::Rect(Trunc(c.x0 * f + kOriginOffset), Trunc(c.y0 * f + kOriginOffset), tW,
                             plan_.height);
        return true;
    }

    // A crop narrower than kMinKeptWidth is enlarged to it only by a factor below kMaxEnlargement.
    // `narrowedBy` is the limit that forced a narrowed crop, None for a full-width one.
    bool Enlarge(double k, double r, const Crop& c, CropLimit narrowedBy) {
        const double f = static_cast<double>(kMinKeptWidth) / c.W;
        if (f < kMaxEnlargement) {
            return Accept(k, r, c, f, kMinKeptWidth);
        }
        return Reject(narrowedBy == CropLimit::None ? CropLimit::Enlarge : narrowedBy, c);
    }

    bool TryRatio(double k) {
        const double kf = k / (k + 1);
        const double s = ((1 / kf) * T_ + fw_) / (fw_ * kCropAspect) - 1;
        const Crop natural = CropOf(kf, s);
        if (!Fits(natural)) {
            return Reject(LimitOf(natural), natural);
        }
        const Crop standard = CropOf(kf, kStandardR);
        if (Fits(standard)) {
            if (standard.W >= kMaxKeptWidth) {
                return Accept(k, kStandardR, standard,
                              static_cast<double>(kMaxKeptWidth) / standard.W, kMaxKeptWidth);
            }
            if (standard.W >= kMinKeptWidth) {
                return Accept(k, kStandardR, standard, 1, standard.W);
            }
            return Widen(k, kf, standard);
        }
        return Narrow(k, kf, s - kWidthStep, standard);
    }

    bool Widen(double k, double kf, const Crop& standard) {
        Crop c = standard;
        for (double r = kWidenFrom; r <= kWidenTo; r += kWidthStep) {
            c = CropOf(kf, r);
            if (Fits(c)) {
                // The kMaxKeptWidth limit does not apply to a widened crop.
                return c.W < kMinKeptWidth ? Enlarge(k, r, c, CropLimit::None)
                                           : Accept(k, r, c, 1, c.W);
            }
        }
        return Reject(LimitOf(c), c);
    }

    bool Narrow(double k, double kf, double bound, const Crop& standard) {
        const CropLimit forced = LimitOf(standard);
        if (bound > kNarrowFrom) {
            return Reject(forced, standard);
        }
        Crop c = standard;
        // The bound may be negative; r then goes on below 0, to crops narrower than the face.
        for (double r = kNarrowFrom; r >= bound; r -= kWidthStep) {
            c = CropOf(kf, r);
            if (Fits(c)) {
                if (c.W >= kMaxKeptWidth) {
                    return Accept(k, r, c, static_cast<double>(kMaxKeptWidth) / c.W,
                                  kMaxKeptWidth);
                }
                if (c.W >= kMinKeptWidth) {
                    return Accept(k, r, c, 1, c.W);
                }
                return Enlarge(k, r, c, forced);
            }
        }
        return Reject(LimitOf(c), c);
    }

    CropTrail* trail_;
    cv::Rect firstTried_[kCropLimitCount];
    int cols_, rows_;
    int fx_, fy_, fw_, hw_, hh_;
    int T_ = 0;
    CropPlan plan_;
};

bool IsAuditableInput(const cv::Mat& photo, const cv::Rect& face) {
    return IsCheckableImage(photo) && face.width > 0 && face.height > 0 && face.x >= 0 &&
           face.y >= 0 && face.x <= photo.cols - face.width && face.y <= photo.rows - face.height;
}

}  // namespace

std::optional<CropPlan> PlanPortraitCrop(int cols, int rows, const cv::Rect& face,
                                         int headTopRow, CropTrail* trail) {
    if (face.width <= 0 || face.height <= 0 || cols <= 0 || rows <= 0) {
        return std::nullopt;
    }
    // The head top is a row above the face, as FindHeadTop finds it. A row at or below the face's
    // top would put the margin row below it: the natural width factor then goes far below zero,
    // the narrowing search runs for as many steps, and the crops it tries are turned inside out.
    if (headTopRow < 0 || headTopRow >= face.y) {
        return std::nullopt;
    }
    return CropSearch(cols, rows, face, headTopRow, trail).Run();
}

std::optional<int> FindHeadTop(const cv::Mat& photo, const cv::Rect& face, cv::RNG& rng) {
    if (!IsAuditableInput(photo, face)) {
        return std::nullopt;
    }
    const cv::Scalar colour = DrawFillColour(rng);
    cv::Mat mask;
    MarkFillRegion(photo, cv::Point(photo.cols / 2, kSeedRow), kHeadTopTolerance, mask);

    // A pixel is background when it carries the fill colour after the fill: inside the filled
    // region, or outside it with exactly the drawn colour.
    const cv::Vec3b fill(static_cast<uchar>(colour[0]), static_cast<uchar>(colour[1]),
                         static_cast<uchar>(colour[2]));
    for (int y = 0; y < face.y; ++y) {
        const cv::Vec3b* row = photo.ptr<cv::Vec3b>(y);
        const uchar* marks = mask.ptr<uchar>(y + 1) + 1;
        int count = 0;
        for (int x = face.x; x < face.x + face.width; ++x) {
            if (marks[x] == 0 && row[x] != fill) {
                ++count;
            }
        }
        if (static_cast<double>(count) / face.width >= kHeadTopShare) {
            return y;
        }
    }
    return std::nullopt;
}

namespace {

// The photo scaled by plan.scale, or at least its top-left part that holds every pixel of `need`
// (a rectangle of the scaled photo), with pixels equal to those of scaling the whole photo.
//
// Scaling down with INTER_AREA makes each scaled pixel from the source pixels under it, with
// weights that follow from its position and the scale factors alone; the extent of the source
// only matters for the pixels whose footprint reaches its right or bottom edge. Handing the
// resize the whole photo's factors and a source cut two pixels past the footprint of `need`
// therefore yields those pixels bit for bit, without scaling the rest of the photo.
cv::Mat ScaleForCrop(const cv::Mat& photo, const CropPlan& plan, const cv::Rect& need) {
    if (plan.scale == 1) {
        return photo;  // the crop is copied out by the caller; the photo itself is never written
    }
    cv::Mat scaled;
    if (plan.scale < 1 && plan.resized.width <= photo.cols && plan.resized.height <= photo.rows) {
        // The factors that resizing the whole photo to plan.resized uses.
        const double invX = static_cast<double>(plan.resized.width) / photo.cols;
        const double invY = static_cast<double>(plan.resized.height) / photo.rows;
        const int cols = static_cast<int>(std::ceil((need.x + need.width) / invX)) + 2;
        const int rows = static_cast<int>(std::ceil((need.y + need.height) / invY)) + 2;
        if (cols < photo.cols || rows < photo.rows) {
            const cv::Rect part(0, 0, std::min(cols, photo.cols), std::min(rows, photo.rows));
            cv::resize(photo(part), scaled, cv::Size(), invX, invY, cv::INTER_AREA);
            if (scaled.cols >= need.x + need.width && scaled.rows >= need.y + need.height) {
                return scaled;
            }
        }
    }
    cv::resize(photo, scaled, plan.resized, 0, 0, cv::INTER_AREA);
    return scaled;
}

}  // namespace

cv::Mat BuildNormalisedPhoto(const cv::Mat& photo, const CropPlan& plan) {
    // The scaled size and the crop's origin are truncated separately, so the crop can overrun
    // the scaled photo by a row or a column: take what lies inside and repeat the last row and
    // column for the rest.
    const cv::Size scaledSize = plan.scale == 1 ? photo.size() : plan.resized;
    const cv::Rect inside = plan.sub & cv::Rect(cv::Point(0, 0), scaledSize);
    cv::Mat result;
    if (inside.empty() || photo.empty()) {
        return result;
    }
    const cv::Mat scaled = ScaleForCrop(photo, plan, inside);
    const int right = plan.sub.x + plan.sub.width - (inside.x + inside.width);
    const int bottom = plan.sub.y + plan.sub.height - (inside.y + inside.height);
    const int left = inside.x - plan.sub.x;
    const int top = inside.y - plan.sub.y;
    if (left == 0 && top == 0 && right == 0 && bottom == 0) {
        scaled(inside).copyTo(result);
    } else {
        cv::copyMakeBorder(scaled(inside), result, top, bottom, left, right,
                           cv::BORDER_REPLICATE);
    }
    return result;
}

bool FramePortrait(const cv::Mat& photo, const cv::Rect& face, cv::Mat& result, CropPlan* plan,
                   FramingFacts* facts, cv::RNG& rng) {
    const std::optional<int> headTop = FindHeadTop(photo, face, rng);
    if (facts != nullptr) {
        facts->framed = true;
        facts->headTop = headTop;
        const double faceHeight = face.height > 0 ? face.height : 1;
        if (headTop) {
            facts->roomAbove = *headTop / faceHeight;
        }
        facts->roomBelow = (photo.rows - (face.y + face.height)) / faceHeight;
    }
    if (!headTop) {
        return false;
    }
    const std::optional<CropPlan> found =
        PlanPortraitCrop(photo.cols, photo.rows, face, *headTop,
                         facts != nullptr ? &facts->trail : nullptr);
    if (!found) {
        return false;
    }
    cv::Mat normalised = BuildNormalisedPhoto(photo, *found);
    if (normalised.cols != found->width || normalised.rows != found->height) {
        return false;
    }
    result = normalised;
    if (plan != nullptr) {
        *plan = *found;
    }
    return true;
}

bool CheckProportion(const cv::Mat& photo, const cv::Rect& face, cv::Mat& result,
                     CropPlan* plan, FramingFacts* facts, cv::RNG& rng) {
    if (photo.cols <= 0) {
        return false;
    }
    const double ratio = static_cast<double>(face.width) / photo.cols;
    if (facts != nullptr) {
        facts->faceShare = ratio;
    }
    if (ratio > kMaxFaceShare || ratio < kMinFaceShare) {
        return false;
    }
    return FramePortrait(photo, face, result, plan, facts, rng);
}
