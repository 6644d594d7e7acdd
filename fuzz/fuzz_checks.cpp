// fuzz_checks: drives the background check, the head-top search, the crop search and the
// proportion and framing rung with small arbitrary images and face rectangles, including the
// input that the audit never passes them (empty and tiny images, other pixel types, views into
// larger images, faces off the picture). None of them may read outside the pixel data, and the
// results must keep their documented shape.
//
// Input layout (missing bytes read as 0):
//   0      base columns, 0..64
//   1      base rows, 0..64
//   2      pixel type: mostly 8-bit 3-channel; 1, 4 channels, 16-bit or float now and then
//   3      enlargement 1..8 of the base image (nearest neighbour), so that crops can fit
//   4      flags: 1 = the image is a view inside a larger one; 2 = face taken as raw
//          coordinates instead of fitted to the image; 4 = face height independent of width
//   5..16  face x, y, width, height: fitted, one byte each; raw, three bytes each (signed)
//   17..19 head-top row for the crop search (signed), 20..21 a flood-fill seed
//   22..   base pixels, repeated as often as needed

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/Background.h"
#include "engine/Framing.h"

namespace {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t Byte(std::size_t at) const { return at < size_ ? data_[at] : 0; }

    // Three bytes as a signed number, -2^23 .. 2^23 - 1: beyond the largest picture the decoder
    // accepts (2^20 on a side), without overflowing the framing's integer sums.
    int Signed24(std::size_t at) const {
        const int v = Byte(at) | (Byte(at + 1) << 8) | (Byte(at + 2) << 16);
        return v >= (1 << 23) ? v - (1 << 24) : v;
    }

    const std::uint8_t* Tail(std::size_t from) const { return from < size_ ? data_ + from : nullptr; }
    std::size_t TailSize(std::size_t from) const { return from < size_ ? size_ - from : 0; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_checks: %s\n", what);
    std::abort();
}

int PixelType(std::uint8_t selector) {
    switch (selector % 10) {
        case 6: return CV_8UC1;
        case 7: return CV_8UC4;
        case 8: return CV_16UC3;
        case 9: return CV_32FC3;
        default: return CV_8UC3;
    }
}

cv::Mat MakeImage(const Input& in, cv::Mat& owner) {
    const int cols = in.Byte(0) % 65;
    const int rows = in.Byte(1) % 65;
    const int type = PixelType(in.Byte(2));
    const int enlarge = 1 + in.Byte(3) % 8;
    const bool view = (in.Byte(4) & 1) != 0;
    if (cols == 0 || rows == 0) {
        return cv::Mat(rows, cols, type);
    }
    cv::Mat base(rows, cols, type);
    const std::uint8_t* pixels = in.Tail(22);
    const std::size_t count = in.TailSize(22);
    std::uint8_t* out = base.ptr<std::uint8_t>(0);
    const std::size_t bytes = base.total() * base.elemSize();
    for (std::size_t i = 0; i < bytes; ++i) {
        out[i] = count == 0 ? 0 : pixels[i % count];
    }
    if (type == CV_32FC3) {
        // Arbitrary bytes make NaNs and infinities; keep the values finite.
        cv::patchNaNs(base, 0);
        cv::threshold(base, base, 1e6, 1e6, cv::THRESH_TRUNC);
    }
    cv::Mat image;
    cv::resize(base, image, cv::Size(cols * enlarge, rows * enlarge), 0, 0, cv::INTER_NEAREST);
    if (!view) {
        return image;
    }
    // A view with a border of 3 columns and 2 rows: rows are not contiguous.
    owner.create(image.rows + 4, image.cols + 6, type);
    owner.setTo(cv::Scalar::all(7));
    cv::Mat inner = owner(cv::Rect(3, 2, image.cols, image.rows));
    image.copyTo(inner);
    return inner;
}

cv::Rect MakeFace(const Input& in, const cv::Mat& image) {
    const std::uint8_t flags = in.Byte(4);
    if ((flags & 2) != 0) {
        return {in.Signed24(5), in.Signed24(8), in.Signed24(11), in.Signed24(14)};
    }
    const int cols = image.cols, rows = image.rows;
    const int width = 1 + in.Byte(7) * std::max(cols, 1) / 256;
    const int height = (flags & 4) != 0 ? 1 + in.Byte(8) * std::max(rows, 1) / 256 : width;
    const int x = in.Byte(5) * std::max(cols - width + 1, 1) / 256;
    const int y = in.Byte(6) * std::max(rows - height + 1, 1) / 256;
    return {x, y, width, height};
}

bool Same(const cv::Mat& a, const cv::Mat& b) {
    if (a.empty() || b.empty()) {
        return a.empty() && b.empty();
    }
    if (a.size() != b.size() || a.type() != b.type()) {
        return false;
    }
    for (int y = 0; y < a.rows; ++y) {
        const std::size_t bytes = static_cast<std::size_t>(a.cols) * a.elemSize();
        if (std::memcmp(a.ptr(y), b.ptr(y), bytes) != 0) {
            return false;
        }
    }
    return true;
}

void CheckPlan(const CropPlan& plan, int cols, int rows) {
    if (plan.x0 < 0 || plan.y0 < 0 || plan.x1 > cols || plan.y1 > rows) {
        Fail("accepted crop lies outside the photo");
    }
    if (plan.width <= 0 || plan.height != static_cast<int>(1.4 * plan.width) ||
        plan.sub.width != plan.width || plan.sub.height != plan.height) {
        Fail("normalised size is not tW x trunc(1.4 tW)");
    }
    if (!(plan.scale > 0 && plan.scale < 1.25)) {
        Fail("scale factor outside (0, 1.25)");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    cv::setNumThreads(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Input in(data, size);
    cv::Mat owner;
    const cv::Mat image = MakeImage(in, owner);
    const cv::Mat before = image.clone();
    const cv::Rect face = MakeFace(in, image);

    (void)RgbToHsv(in.Byte(22), in.Byte(23), in.Byte(24));
    (void)FloodFillArea(image, {in.Byte(20) - 8, in.Byte(21) - 8});
    (void)CheckBackground(image);

    if (const std::optional<int> headTop = FindHeadTop(image, face)) {
        if (*headTop < 0 || *headTop >= face.y) {
            Fail("head top outside the rows above the face");
        }
    }

    cv::Mat result(3, 2, CV_8UC3, cv::Scalar(1, 2, 3));
    const uchar* untouched = result.data;
    CropPlan plan;
    if (CheckProportion(image, face, result, &plan)) {
        CheckPlan(plan, image.cols, image.rows);
        if (result.cols != plan.width || result.rows != plan.height || result.type() != CV_8UC3) {
            Fail("normalised photo is not tW x tH");
        }
        if (result.datastart < image.dataend && image.datastart < result.dataend) {
            Fail("normalised photo shares pixels with the photo");
        }
    } else if (result.data != untouched || result.at<cv::Vec3b>(0, 0) != cv::Vec3b(1, 2, 3)) {
        Fail("a failed check changed the result");
    }
    if (!Same(image, before)) {
        Fail("a check changed the photo");
    }

    // The crop search alone, with any head-top row, and the cut it plans.
    if (const std::optional<CropPlan> planned =
            PlanPortraitCrop(image.cols, image.rows, face, in.Signed24(17))) {
        CheckPlan(*planned, image.cols, image.rows);
        const cv::Mat cut = BuildNormalisedPhoto(image, *planned);
        if (cut.cols != planned->width || cut.rows != planned->height) {
            Fail("cut is not tW x tH");
        }
    }
    return 0;
}
