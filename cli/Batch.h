#pragma once

#include <array>
#include <atomic>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "engine/ResultState.h"

/// The photos named on a command line, one at a time: files given by name as they are (whatever
/// their extension), folders walked recursively in name order, taking files ending in .jpg,
/// .jpeg or .jpe in any letter case. Only the listing of the folders being walked is held, so
/// any number of photos can be streamed.
class PhotoSource {
public:
    explicit PhotoSource(std::vector<std::string> arguments);

    /// The next photo's path, or nullopt when there are no more.
    std::optional<std::string> Next();

    /// Folders that could not be read, each with the reason.
    const std::vector<std::string>& Errors() const { return errors_; }

    /// True for a name ending in .jpg, .jpeg or .jpe, in any letter case.
    static bool HasPhotoExtension(const std::string& path);

private:
    struct Folder {
        std::vector<std::string> entries;
        std::size_t next = 0;
    };
    void Enter(const std::string& folder);

    std::vector<std::string> arguments_;
    std::size_t nextArgument_ = 0;
    std::vector<Folder> stack_;
    std::vector<std::string> errors_;
};

struct BatchOptions {
    bool json = false;         ///< one JSON object per photo instead of a text line
    std::string saveDir;       ///< where passed photos are saved; empty: not saved
    std::string logFile;       ///< run log to append the verdict lines to; empty: none
    std::string cascadeFile;   ///< face cascade to use; empty: the usual lookup
    unsigned jobs = 1;         ///< photos audited at once
    bool progress = false;     ///< draw a progress bar on the error stream
};

struct BatchSummary {
    std::array<std::size_t, kResultStateCount> counts{};  ///< photos per verdict
    std::size_t photos = 0;
    std::size_t saveFailures = 0;
    std::size_t unreadableFolders = 0;
    bool interrupted = false;
    bool noCascade = false;  ///< no face cascade loaded; nothing was audited
    double seconds = 0;
};

/// Audits every photo named by `arguments` with options.jobs workers, each with a face cascade
/// and random generator of its own, and writes one line per photo to `out` in input order,
/// whatever the number of workers. Verdict lines go to the log and passed photos are saved in
/// the same order. When `stop` becomes true no further photo is started; the photos under way
/// are finished and reported. Only a few photos are held at any time.
BatchSummary RunBatch(const std::vector<std::string>& arguments, const BatchOptions& options,
                      std::FILE* out, std::FILE* err, const std::atomic<bool>* stop);

/// The summary line: photos, time, and the count of every verdict.
std::string SummaryText(const BatchSummary& summary);
