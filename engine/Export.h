#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

/// The 10 bytes appended to every saved photo: the tag "KORVELIN" with byte i raised by i + 5
/// (modulo 256), then two zero bytes.
std::array<std::uint8_t, 10> MakePhotoTrailer();

/// The bytes of a saved photo: `image` encoded as JPEG of quality 50, followed by the trailer.
/// Empty when the image cannot be encoded.
std::vector<std::uint8_t> EncodeApprovedPhoto(const cv::Mat& image);

/// Outcome of a save.
struct WriteResult {
    bool ok = false;
    std::string error;  ///< why it failed, in words the window can show (UTF-8)
    bool exists = false;  ///< failed only because the target exists and was not to be replaced
};

/// Whether a save may take the place of whatever already has the target's name.
enum class ExistingTarget { Replace, Keep };

/// Writes `bytes` to `path` (bytes of the file name, as the OS takes them) through a temporary
/// file in the target's folder that is then renamed to the target, so that the target is
/// written whole or not at all and no other file is touched. A new file gets mode 0666 less the
/// umask. An existing regular file is replaced and keeps its permission bits, never its set-user
/// or set-group ID bit; an existing symbolic link is replaced by a plain file as new (never
/// followed). With ExistingTarget::Keep an existing name of any kind is left alone instead and
/// the result says `exists`; this holds even against a file created at the same moment.
WriteResult WriteFileAtomically(const std::vector<std::uint8_t>& bytes, const std::string& path,
                                ExistingTarget existing = ExistingTarget::Replace);

/// Removes the temporary files of the saves under way in this process. Safe to call from a
/// signal handler that is about to end the process.
void RemovePendingTemporaries() noexcept;

/// Writes EncodeApprovedPhoto(image) to `path` (bytes of the file name, as the OS takes them).
/// The bytes go to a temporary file in the target's folder, which is then renamed over the
/// target: an existing file is replaced whole or left untouched, never half-written.
WriteResult WriteApprovedPhoto(const cv::Mat& image, const std::string& path);
