#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

/// The most pixels (width x height, as the file's header declares them) that a photo may have
/// to be decoded at all. 200 million keeps the largest phone photos (200 MP, 16320 x 12240; a
/// 108 MP photo is 12000 x 9000), while a header that announces more is refused before a
/// single pixel is decoded. See kAuditBytesPerPixel for what an audit then needs.
inline constexpr std::uint64_t kDefaultMaxPixels = 200'000'000;

/// The memory one audit needs, per pixel of the photo: the decoded photo, its grey and equalised
/// copies, the detector's scale pyramid and the fill masks, as measured on photos of 2 to
/// 108 MP (bench/peak_memory). About 9.5 MiB per megapixel.
inline constexpr double kAuditBytesPerPixel = 10.0;

/// The longest file the path-taking audits read; a longer one is refused unread, as BadSize. No
/// photo within kDefaultMaxPixels needs more, in any format read here, unless padded.
inline constexpr std::uint64_t kMaxPhotoFileBytes = 1ull << 30;

/// A JPEG of more scans than this is refused before decoding: each scan costs a pass over every
/// block of the photo, and cameras write 1 (baseline) to about a dozen (progressive).
inline constexpr int kMaxJpegScans = 100;
/// ... and so is one whose scans times pixels exceed this (ten scans of the largest photo).
inline constexpr std::uint64_t kMaxJpegScanPixels = 10 * kDefaultMaxPixels;

/// The formats read, told by the file's first bytes (its signature), never by its name.
enum class PhotoFormat { Unknown, Jpeg, Png, Bmp, Tiff, WebP };

/// The format whose signature `bytes` begins with; Unknown for every other content.
PhotoFormat SniffPhotoFormat(std::span<const std::uint8_t> bytes);

/// Whether this build decodes `format`: JPEG, PNG and BMP always; TIFF and WebP in builds with
/// VETRIX_WITH_TIFF_WEBP (the default natively, not the WebAssembly build). Never Unknown.
bool DecodesFormat(PhotoFormat format);

/// The formats this build decodes, by name, for messages and help: "JPEG, PNG, BMP, TIFF, WebP"
/// or "JPEG, PNG, BMP".
std::string DecodedFormatsText();

/// The file-name endings a folder walk takes as photos, lower case with the dot (".jpg", ...):
/// those of the formats this build decodes.
std::vector<std::string> PhotoFileEndings();

/// How DecodePhotoBytes ended.
enum class DecodeStatus {
    Decoded,        ///< the photo decoded
    NotAnImage,     ///< in no format this build decodes, or damaged beyond decoding
    TooManyPixels,  ///< its header declares more pixels than allowed; nothing was decoded
    TooManyScans,   ///< a JPEG of more scans than kMaxJpegScans (or kMaxJpegScanPixels);
                    ///< nothing was decoded
};

/// A photo as DecodePhotoBytes found it.
struct DecodedPhoto {
    DecodeStatus status = DecodeStatus::NotAnImage;
    PhotoFormat format = PhotoFormat::Unknown;
    cv::Mat image;                      ///< 8-bit blue-green-red, EXIF orientation applied;
                                        ///< empty unless Decoded
    cv::Size declaredSize;              ///< width x height from the file's header; 0 x 0 when
                                        ///< it could not be read
    bool transparent = false;           ///< the header declares transparency (an alpha channel
                                        ///< or a transparent colour), which decoding drops
    int scans = 0;                      ///< a JPEG's scans, counted before decoding
    std::vector<std::string> warnings;  ///< the decoder's complaints about this file, such as
                                        ///< libjpeg's "Premature end of JPEG file", in order
};

/// Decodes the photo whose file bytes are `bytes`, in memory (nothing is written anywhere).
///
/// The format is told by its signature, and only the formats of DecodesFormat are decoded:
/// anything else is NotAnImage before any decoder sees it. Each is measured from its header
/// before decoding: JPEG (libjpeg), PNG (libpng), BMP (its fixed header fields), TIFF (libtiff;
/// the first page, the one OpenCV decodes) and WebP (libwebp). A header declaring more than
/// `maxPixels` pixels is TooManyPixels; one that cannot be read is NotAnImage. A JPEG's scans
/// are counted from its marker stream first (TooManyScans). A PNG's text chunks (tEXt, zTXt,
/// iTXt), which never change a pixel, are left out before decoding, so that compressed text
/// costs nothing. Then OpenCV decodes (cv::imdecode, EXIF orientation applied).
///
/// libjpeg's warnings land in `warnings`, not on stderr (on Linux builds; elsewhere they go to
/// stderr as libjpeg prints them); libtiff's complaints about the header are not printed.
/// Throws std::bad_alloc, or a cv::Exception with code cv::Error::StsNoMem, when memory runs
/// out; any other failure is NotAnImage.
DecodedPhoto DecodePhotoBytes(std::span<const std::uint8_t> bytes,
                              std::uint64_t maxPixels = kDefaultMaxPixels);

/// The width and height that the header in `bytes` declares, for the formats DecodePhotoBytes
/// reads (as it reads them, before any EXIF rotation); nullopt for any other content or an
/// unreadable header. Reads no pixel data; never throws.
std::optional<cv::Size> PhotoHeaderSize(std::span<const std::uint8_t> bytes);

/// The number of scans (start-of-scan markers) in the JPEG stream `bytes`, counted from its
/// marker segments without decoding, up to the end-of-image marker or the end of the bytes;
/// stops counting past `limit`.
int CountJpegScans(std::span<const std::uint8_t> bytes, int limit = kMaxJpegScans);

/// The file at `path` read whole (ReadFileBytes, up to kMaxPhotoFileBytes) and decoded as
/// DecodePhotoBytes does; NotAnImage when it cannot be read. For tests and tools; the audit
/// tells a file it cannot read from one that is not a photo.
DecodedPhoto ReadPhoto(const std::string& path, std::uint64_t maxPixels = kDefaultMaxPixels);

/// ReadPhoto(path).image: an empty matrix for anything that is not Decoded.
cv::Mat DecodePhoto(const std::string& path);

/// PhotoHeaderSize of the file at `path`; nullopt when it cannot be read.
std::optional<cv::Size> ReadPhotoHeaderSize(const std::string& path);
