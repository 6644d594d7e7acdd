#include "bench/bench_support.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/PhotoAudit.h"

std::vector<cv::Rect> RunBarePipeline(cv::CascadeClassifier& cascade, const std::string& path) {
    const cv::Mat photo = cv::imread(path, cv::IMREAD_COLOR);
    std::vector<cv::Rect> faces;
    if (photo.empty()) {
        return faces;
    }
    cv::Mat grey;
    cv::cvtColor(photo, grey, cv::COLOR_BGR2GRAY);
    cv::equalizeHist(grey, grey);
    cascade.detectMultiScale(grey, faces, kFaceScaleFactor, kFaceMinNeighbours,
                             cv::CASCADE_SCALE_IMAGE, cv::Size(kFaceMinSide, kFaceMinSide),
                             cv::Size(0, 0));
    return faces;
}
