#include "shell/ImageBridge.h"

#include <opencv2/imgproc.hpp>

QImage MatToQImage(const cv::Mat& mat) {
    if (mat.empty() || mat.depth() != CV_8U) {
        return {};
    }
    const auto stride = static_cast<qsizetype>(mat.step[0]);
    switch (mat.channels()) {
        case 3: {
            // A wrapping image of the other byte order, converted: the conversion writes a
            // new buffer, so the result never points into the matrix.
            const QImage view(mat.data, mat.cols, mat.rows, stride, QImage::Format_BGR888);
            return view.convertToFormat(QImage::Format_RGB888);
        }
        case 1: {
            const QImage view(mat.data, mat.cols, mat.rows, stride, QImage::Format_Grayscale8);
            return view.copy();
        }
        default:
            return {};
    }
}

cv::Mat QImageToMat(const QImage& image) {
    if (image.isNull()) {
        return {};
    }
    const QImage bgr = image.convertToFormat(QImage::Format_BGR888);
    const cv::Mat view(bgr.height(), bgr.width(), CV_8UC3, const_cast<uchar*>(bgr.constBits()),
                       static_cast<size_t>(bgr.bytesPerLine()));
    return view.clone();
}
