#pragma once

// Reading a stream to its end under a limit, the same on every system; only the system's read
// call differs.

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "platform/Files.h"

/// Reads with `readSome(buffer, size)` until it returns 0, as ReadDescriptorBytes promises:
/// more than `maxBytes` is refused with std::errc::file_too_large and nothing is kept; a read
/// error is the result's error. `readSome` returns the count read, or a negative value with
/// errno set; an interrupted read is retried.
template <typename ReadSome>
FileBytes ReadToEnd(ReadSome readSome, std::uint64_t maxBytes) {
    FileBytes file;
    std::uint8_t chunk[64 * 1024];
    for (;;) {
        const long long n = readSome(chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            file.error = std::error_code(errno, std::generic_category());
            file.bytes.clear();
            return file;
        }
        if (n == 0) {
            break;
        }
        file.length += static_cast<std::uint64_t>(n);
        if (file.length > maxBytes) {
            file.error = std::make_error_code(std::errc::file_too_large);
            file.bytes.clear();
            file.bytes.shrink_to_fit();
            return file;
        }
        file.bytes.insert(file.bytes.end(), chunk, chunk + n);
    }
    return file;
}
