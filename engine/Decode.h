#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

/// The most pixels (width x height, as the file's header declares them) that a photo may have
/// to be decoded at all. 200 million keeps the largest phone photos (200 MP, 16320 x 12240; a
/// 108 MP photo is 12000 x 9000), while a header that announces more is refused before a
/// single pixel is decoded. One audit needs about 11 bytes per pixel (see the README).
inline constexpr std::uint64_t kDefaultMaxPixels = 200'000'000;

/// How ReadPhoto ended.
enum class DecodeStatus {
    Decoded,        ///< the photo decoded
    NotAnImage,     ///< missing, unreadable, not a regular file, not a JPEG, PNG or BMP, or damaged
                    ///< beyond decoding
    TooManyPixels,  ///< its header declares more pixels than allowed; nothing was decoded
};

/// A photo as ReadPhoto found it.
struct DecodedPhoto {
    DecodeStatus status = DecodeStatus::NotAnImage;
    cv::Mat image;                      ///< 8-bit blue-green-red, EXIF orientation applied;
                                        ///< empty unless Decoded
    cv::Size declaredSize;              ///< width x height from the file's header; 0 x 0 when
                                        ///< the header was not read
    std::vector<std::string> warnings;  ///< the decoder's complaints about this file, such as
                                        ///< libjpeg's "Premature end of JPEG file", in order
};

/// Reads the photo at `path` (the file name's own bytes). The format is told by the content,
/// not the name. JPEG, PNG and BMP are accepted: their headers are read first (JPEG through
/// libjpeg, PNG through libpng, BMP's fixed fields), and a photo declaring more than
/// `maxPixels` pixels is refused as TooManyPixels without decoding. Every other content is
/// NotAnImage: OpenCV reads other formats without a way to learn their size first, and its
/// own limit (OPENCV_IO_MAX_IMAGE_PIXELS) is fixed when the library loads.
/// libjpeg's warnings land in `warnings`, not on stderr (on Linux builds; elsewhere they go to
/// stderr as libjpeg prints them). Throws std::bad_alloc, or a cv::Exception with code
/// cv::Error::StsNoMem, when memory runs out; any other failure is NotAnImage.
DecodedPhoto ReadPhoto(const std::string& path, std::uint64_t maxPixels = kDefaultMaxPixels);

/// Decodes the file at `path` as ReadPhoto does with the default pixel limit; an empty matrix
/// for anything that is not Decoded. Throws only as ReadPhoto does.
cv::Mat DecodePhoto(const std::string& path);

/// The width and height that the header of the file at `path` declares (for JPEG, PNG and
/// BMP, as ReadPhoto reads them, before any EXIF rotation); nullopt for any other content, an
/// unreadable header, or a file that cannot be opened. Reads no pixel data; never throws.
std::optional<cv::Size> ReadPhotoHeaderSize(const std::string& path);
