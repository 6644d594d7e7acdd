#include "engine/Why.h"

#include <cstdio>

#include "engine/Audit.h"

namespace {

struct CauseText {
    WhyCause cause;
    const char* name;
    const char* hint;
};

// The one table of hints. Each says, in words a candidate uses, what to change; reviewed as a
// whole, never assembled from pieces.
constexpr CauseText kCauses[kWhyCauseCount] = {
    {WhyCause::None, "None", ""},
    {WhyCause::NotAnImage, "NotAnImage", "文件不是能打开的照片，请换一张 JPEG 照片"},
    {WhyCause::NoFace, "NoFace", "没有找到人脸，请正对镜头，露出整张脸"},
    {WhyCause::TooManyFaces, "TooManyFaces", "照片里的人脸太多，请只拍一个人"},
    {WhyCause::FileTooSmall, "FileTooSmall", "照片文件太小，请使用相机拍出的原图，不要压缩"},
    {WhyCause::TooFewPixels, "TooFewPixels", "照片尺寸太小，请使用更大的照片"},
    {WhyCause::BackgroundTooDark, "BackgroundTooDark", "背景太暗，请在光线充足的地方拍摄"},
    {WhyCause::BackgroundNotAccepted, "BackgroundNotAccepted",
     "背景颜色不对，请使用红色、蓝色或白色背景"},
    {WhyCause::BackgroundNotPlain, "BackgroundNotPlain", "背景不是纯色，请站在一整块纯色背景前"},
    {WhyCause::FaceTooSmall, "FaceTooSmall", "人脸太小，请靠近镜头"},
    {WhyCause::FaceTooLarge, "FaceTooLarge", "人脸太大，请离镜头远一些"},
    {WhyCause::HeadTopNotFound, "HeadTopNotFound", "头顶被裁掉，请在头顶上方留出空间"},
    {WhyCause::NoRoomAbove, "NoRoomAbove", "头顶上方空间太少，请在头顶上方多留些背景"},
    {WhyCause::NoRoomBelow, "NoRoomBelow", "下巴以下空间太少，请把肩膀也拍进照片"},
    {WhyCause::NoRoomAtSides, "NoRoomAtSides", "脸的两侧空间太少，请站在画面正中"},
    {WhyCause::TooSmallToEnlarge, "TooSmallToEnlarge", "人像太小，无法放大，请使用像素更高的照片"},
    {WhyCause::NoCrop, "NoCrop", "无法裁出合格的证件照，请重新拍摄"},
    {WhyCause::TooManyPixels, "TooManyPixels", "照片尺寸大得异常，请缩小后再试"},
    {WhyCause::FileTooLarge, "FileTooLarge", "照片文件大得异常，请使用相机拍出的原图"},
    {WhyCause::TooManyScans, "TooManyScans", "照片编码异常，请重新保存为普通 JPEG"},
    {WhyCause::BackgroundTransparent, "BackgroundTransparent",
     "照片背景透明，请用红、蓝或白色实底背景"},
};

const CauseText& TextOf(WhyCause cause) {
    const int i = static_cast<int>(cause);
    return kCauses[i >= 0 && i < kWhyCauseCount ? i : 0];
}

std::string Format(const char* format, double a, double b = 0, double c = 0) {
    char buf[160];
    std::snprintf(buf, sizeof buf, format, a, b, c);
    return buf;
}

// The figures behind a cause, in a few words.
std::string Figures(const AuditWhy& why, const std::optional<CropPlan>& crop) {
    const auto& bg = why.background;
    const auto& fr = why.framing;
    switch (why.cause) {
        case WhyCause::None:
            return crop ? Format("k %.2f, r %.3f, scale %.3f", crop->spaceRatio, crop->widthFactor, crop->scale) : "";
        case WhyCause::FileTooSmall:
            return why.size ? Format("%.0f bytes, needs %.0f", static_cast<double>(why.size->bytes),
                                     static_cast<double>(kMinPhotoFileLength))
                            : "";
        case WhyCause::TooFewPixels:
            return why.size ? std::to_string(why.size->width) + " x " +
                                  std::to_string(why.size->height) + " pixels, needs " +
                                  std::to_string(kMinPhotoColumns) + " x " +
                                  std::to_string(kMinPhotoRows)
                            : "";
        case WhyCause::BackgroundTooDark:
        case WhyCause::BackgroundNotAccepted:
            if (!bg) {
                return "";
            }
            // A grey or black has no hue.
            return (bg->mean.hue >= 0 ? Format("mean sample colour: hue %.0f, ", bg->mean.hue)
                                      : std::string("mean sample colour: no hue, ")) +
                   Format("saturation %.2f, value %.2f", bg->mean.saturation, bg->mean.value);
        case WhyCause::BackgroundNotPlain:
            return bg && bg->coverage ? Format("plain area %.3f of the photo, needs more than %.1f",
                                               *bg->coverage, kMinCoverage)
                                      : "";
        case WhyCause::FaceTooSmall:
        case WhyCause::FaceTooLarge:
            return fr ? Format("face %.3f of the width, needs %.1f to %.1f", fr->faceShare,
                               kMinFaceShare, kMaxFaceShare)
                      : "";
        case WhyCause::HeadTopNotFound:
            return "no head top above the face";
        case WhyCause::NoRoomAbove:
        case WhyCause::NoRoomBelow:
        case WhyCause::NoRoomAtSides:
        case WhyCause::TooSmallToEnlarge:
            if (fr && fr->roomAbove) {
                return Format("room above the head %.2f, below the chin %.2f face heights",
                              *fr->roomAbove, fr->roomBelow);
            }
            return "";
        default:
            return "";
    }
}

}  // namespace

const char* WhyCauseName(WhyCause cause) {
    return TextOf(cause).name;
}

const char* WhyHint(WhyCause cause) {
    return TextOf(cause).hint;
}

const char* BackgroundClassName(BackgroundClass colour) {
    switch (colour) {
        case BackgroundClass::Red:
            return "red";
        case BackgroundClass::Blue:
            return "blue";
        case BackgroundClass::White:
            return "white";
        default:
            return "none";
    }
}

const char* CropLimitName(CropLimit limit) {
    switch (limit) {
        case CropLimit::Above:
            return "above";
        case CropLimit::Below:
            return "below";
        case CropLimit::Sides:
            return "sides";
        case CropLimit::Enlarge:
            return "enlarge";
        default:
            return "none";
    }
}

WhyCause BackgroundCause(const BackgroundFacts& facts) {
    switch (facts.outcome) {
        case BackgroundOutcome::TooDark:
            return WhyCause::BackgroundTooDark;
        case BackgroundOutcome::NotAccepted:
            return WhyCause::BackgroundNotAccepted;
        case BackgroundOutcome::NotPlain:
            return WhyCause::BackgroundNotPlain;
        default:
            return WhyCause::None;
    }
}

WhyCause FramingCause(const FramingFacts& facts) {
    if (facts.faceShare < kMinFaceShare) {
        return WhyCause::FaceTooSmall;
    }
    if (facts.faceShare > kMaxFaceShare) {
        return WhyCause::FaceTooLarge;
    }
    if (!facts.headTop) {
        return WhyCause::HeadTopNotFound;
    }
    switch (facts.trail.stop) {
        case CropLimit::Above:
            return WhyCause::NoRoomAbove;
        case CropLimit::Below:
            return WhyCause::NoRoomBelow;
        case CropLimit::Sides:
            return WhyCause::NoRoomAtSides;
        case CropLimit::Enlarge:
            return WhyCause::TooSmallToEnlarge;
        default:
            return WhyCause::NoCrop;
    }
}

std::string WhyReason(const AuditWhy& why, const std::optional<CropPlan>& crop) {
    const std::string figures = Figures(why, crop);
    const std::string hint = WhyHint(why.cause);
    if (hint.empty()) {
        return figures;
    }
    return figures.empty() ? hint : hint + " (" + figures + ")";
}
