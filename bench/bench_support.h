#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/objdetect.hpp>

#include "engine/PhotoAudit.h"

// The two things the benchmarks time: the audit, and the OpenCV work that any audit of the same
// file has to do at the least.

/// The bare pipeline: decode in colour, grey, equalise, detect with the audit's parameters.
/// Returns the detections (unsorted, as the detector gives them).
std::vector<cv::Rect> RunBarePipeline(cv::CascadeClassifier& cascade, const std::string& path);
