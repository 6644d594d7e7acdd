#include "engine/Annotate.h"

#include <algorithm>
#include <string>

#include <opencv2/imgproc.hpp>

#include "engine/Audit.h"

namespace {

constexpr int kSampleRadius = 5;
constexpr int kRingRadius = 7;

const cv::Scalar& SampleColour(BackgroundClass colour) {
    switch (colour) {
        case BackgroundClass::Red:
            return marks::kSampleRed;
        case BackgroundClass::Blue:
            return marks::kSampleBlue;
        case BackgroundClass::White:
            return marks::kSampleWhite;
        default:
            return marks::kSampleNone;
    }
}

// The verdict in a few ASCII words (the drawing fonts have no Chinese), on a dark band.
void DrawCaption(cv::Mat& out, const AuditDetails& details, int thickness) {
    std::string text = WhyCauseName(details.why.cause);
    if (details.why.cause == WhyCause::None) {
        text = details.crop ? "Passed" : "";
    }
    if (text.empty()) {
        return;
    }
    const double scale = std::max(0.5, out.cols / 600.0);
    int baseline = 0;
    const cv::Size size =
        cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, scale, thickness, &baseline);
    const int band = size.height + baseline + 2 * thickness + 4;
    cv::rectangle(out, cv::Rect(0, out.rows - band, out.cols, band), cv::Scalar(32, 32, 32),
                  cv::FILLED);
    cv::putText(out, text, cv::Point(4, out.rows - baseline - thickness - 2),
                cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar(255, 255, 255), thickness);
}

}  // namespace

cv::Mat AnnotatePhoto(const cv::Mat& photo, const AuditDetails& details) {
    if (photo.empty() || photo.type() != CV_8UC3) {
        return {};
    }
    cv::Mat out = photo.clone();
    const int thin = std::max(2, std::min(out.cols, out.rows) / 300);
    const int thick = 2 * thin;
    const AuditWhy& why = details.why;

    if (why.framing && why.framing->framed) {
        const FramingFacts& fr = *why.framing;
        if (fr.trail.tried.area() > 0) {
            cv::rectangle(out, fr.trail.tried, details.crop ? marks::kCropCut : marks::kCropTried,
                          thick);
        }
        if (fr.headTop) {
            cv::line(out, cv::Point(0, *fr.headTop), cv::Point(out.cols - 1, *fr.headTop),
                     marks::kHeadTop, thin);
        }
    }
    for (const cv::Rect& face : details.faces) {
        cv::rectangle(out, face, marks::kDetection, thin);
    }
    if (details.face) {
        cv::rectangle(out, *details.face, marks::kChosenFace, thick);
    }
    if (why.background) {
        for (const BackgroundProbe& probe : why.background->probes) {
            cv::circle(out, probe.point, kRingRadius, marks::kOutline, 2);
            cv::circle(out, probe.point, kSampleRadius, SampleColour(probe.colour), cv::FILLED);
        }
    }
    DrawCaption(out, details, std::max(1, thin / 2));
    return out;
}
