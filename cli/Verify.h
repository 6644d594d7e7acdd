#pragma once

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

struct VerifyRunOptions {
    bool json = false;         ///< one JSON object per file instead of a text line
    std::string cascadeFile;   ///< face cascade to use; empty: the usual lookup
};

struct VerifySummary {
    std::size_t files = 0;       ///< files given or found, verified or not
    std::size_t verified = 0;
    std::size_t unreadable = 0;  ///< files or folders that could not be read or verified
    bool noCascade = false;      ///< no face cascade loaded; nothing was verified
    bool outputFailed = false;   ///< a line could not be written to `out`
    int stopSignal = 0;          ///< the signal that stopped the run, or 0
};

/// Verifies every file named by `inputs` (files as given, folders walked as the audit walks
/// them) as a photo that Vetrix saved, and writes one line per file to `out` in input order:
/// the quoted file name, the outcome and its message separated by tabs, or with options.json
/// one object of VerifyJson. A file that cannot be read or verified gets an Error line in the
/// audit's form (name, "Error", reason; or JSON with the key error). Stops before the next
/// file once `*stop` holds a signal number.
VerifySummary RunVerify(const std::vector<std::string>& inputs, const VerifyRunOptions& options,
                        std::FILE* out, const std::atomic<int>* stop);
