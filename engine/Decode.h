#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

/// The most pixels (width x height, as the file's header declares them) that a photo may have
/// to be decoded at all. 200 million keeps the largest phone photos (200 MP, 16320 x 12240; a
/// 108 MP photo is 12000 x 9000), while a header that announces more is refused before a
/// single pixel is decoded. One audit needs about 9.5 MiB per megapixel (see the README).
inline constexpr std::uint64_t kDefaultMaxPixels = 200'000'000;

/// How ReadPhoto ended.
enum class DecodeStatus {
    Decoded,        ///< the photo decoded
    NotAnImage,     ///< missing, unreadable, not a regular file, in no format this build decodes,
                    ///< or damaged beyond decoding
    TooManyPixels,  ///< it has more pixels than allowed: declared so in its header (nothing was
                    ///< decoded), or, for formats measured only after decoding, decoded so
};

/// A photo as ReadPhoto found it.
struct DecodedPhoto {
    DecodeStatus status = DecodeStatus::NotAnImage;
    cv::Mat image;                      ///< 8-bit blue-green-red, EXIF orientation applied;
                                        ///< empty unless Decoded
    cv::Size declaredSize;              ///< width x height from the file's header (for formats
                                        ///< measured only after decoding, the decoded image's);
                                        ///< 0 x 0 when neither was learned
    std::vector<std::string> warnings;  ///< the decoder's complaints about this file, such as
                                        ///< libjpeg's "Premature end of JPEG file", in order
};

/// Reads the photo at `path` (the file name's own bytes). The format is told by the content,
/// not the name, and decoded by OpenCV (cv::imread, EXIF orientation applied as it applies it).
///
/// Measured before decoding: JPEG (header read by libjpeg), PNG (libpng), BMP (its fixed header
/// fields) and, in builds with VETRIX_WITH_TIFF_WEBP (the default natively), TIFF (libtiff;
/// the first page, the one OpenCV decodes) and WebP (libwebp, from the file's first 4 KiB). A
/// photo whose header declares more than `maxPixels` pixels is TooManyPixels without a pixel
/// decoded; one whose header cannot be read is NotAnImage. Without VETRIX_WITH_TIFF_WEBP, TIFF
/// and WebP are NotAnImage.
///
/// Measured after decoding: every other format the linked OpenCV decodes (with Debian's
/// OpenCV 4.6: JPEG 2000, PNM/PAM/PFM, Sun raster, Radiance HDR, and OpenEXR when
/// OPENCV_IO_ENABLE_OPENEXR is set). Their memory is bounded only by OpenCV's own limit,
/// OPENCV_IO_MAX_IMAGE_PIXELS (2^30 pixels unless set in the environment before the library
/// loads); a decoded image over `maxPixels` is then TooManyPixels, so the verdict does not
/// depend on the format.
///
/// libjpeg's warnings land in `warnings`, not on stderr (on Linux builds; elsewhere they go to
/// stderr as libjpeg prints them); libtiff's complaints about the header are not printed.
/// Throws std::bad_alloc, or a cv::Exception with code cv::Error::StsNoMem, when memory runs
/// out; any other failure is NotAnImage.
DecodedPhoto ReadPhoto(const std::string& path, std::uint64_t maxPixels = kDefaultMaxPixels);

/// Whether this build reads TIFF and WebP (VETRIX_WITH_TIFF_WEBP).
bool ReadsTiffAndWebP();

/// Decodes the file at `path` as ReadPhoto does with the default pixel limit; an empty matrix
/// for anything that is not Decoded. Throws only as ReadPhoto does.
cv::Mat DecodePhoto(const std::string& path);

/// The width and height that the header of the file at `path` declares, for the formats that
/// ReadPhoto measures before decoding (as it reads them, before any EXIF rotation); nullopt for
/// any other content, an unreadable header, or a file that cannot be opened. Reads no pixel
/// data; never throws.
std::optional<cv::Size> ReadPhotoHeaderSize(const std::string& path);
