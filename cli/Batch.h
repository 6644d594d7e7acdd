#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/Decode.h"
#include "engine/PhotoAudit.h"
#include "engine/ResultState.h"

/// One input found on a command line: a photo to audit, or a named input that could not be
/// looked into (then `error` says why).
struct PhotoInput {
    std::string path;
    std::string error;
};

/// The photos named on a command line, one at a time: files given by name as they are (whatever
/// their extension), folders walked recursively in name order, taking files ending in .jpg,
/// .jpeg or .jpe in any letter case. Only the listing of the folders being walked is held, so
/// any number of photos can be streamed. A folder that cannot be listed is itself returned,
/// with the reason.
class PhotoSource {
public:
    explicit PhotoSource(std::vector<std::string> arguments);

    /// The next input, or nullopt when there are no more.
    std::optional<PhotoInput> Next();

    /// True for a name ending in .jpg, .jpeg or .jpe, in any letter case.
    static bool HasPhotoExtension(const std::string& path);

private:
    struct Folder {
        std::vector<std::string> entries;
        std::size_t next = 0;
    };
    std::string Enter(const std::string& folder);

    std::vector<std::string> arguments_;
    std::size_t nextArgument_ = 0;
    std::vector<Folder> stack_;
};

struct BatchOptions {
    bool json = false;         ///< one JSON object per photo instead of a text line
    std::string saveDir;       ///< where passed photos are saved; empty: not saved
    bool overwrite = false;    ///< a save may replace an existing file that is not an input
    std::string logFile;       ///< run log to append the verdict lines to; empty: none
    std::string cascadeFile;   ///< face cascade to use; empty: the usual lookup
    unsigned jobs = 1;         ///< photos audited at once
    std::uint64_t maxPixels = kDefaultMaxPixels;  ///< larger photos are refused as BadSize
    bool progress = false;     ///< draw a progress bar on the error stream
    bool why = false;          ///< end each text line with a short plain reason
    std::string annotateDir;   ///< where annotated copies go (PNG); empty: none
};

/// An audit for a command without a window: the verdict line is kept (for the ordered output
/// and the run log), and the button and repaint requests have nothing to act on.
class CommandAudit : public CPhotoAudit {
public:
    std::string verdictLine;

protected:
    void WriteVerdictLine(const std::string& line) override { verdictLine = line; }
    void ShowSaveButton(bool) override {}
    void RequestRepaint() override {}
};

/// How a worker audits one photo: `audit.AuditFile(path, fileName)` unless a caller (a test)
/// supplies something else.
using AuditStep =
    std::function<void(CPhotoAudit& audit, const std::string& path, const std::string& fileName)>;

struct BatchSummary {
    std::array<std::size_t, kResultStateCount> counts{};  ///< photos per verdict
    std::size_t photos = 0;       ///< lines printed: verdicts and errors
    std::size_t saveFailures = 0;
    std::size_t errors = 0;       ///< inputs that got an error line instead of a verdict
    int stopSignal = 0;           ///< the signal that stopped the run, 0 when none did
    bool noCascade = false;       ///< no face cascade loaded; nothing was audited
    bool logUnopened = false;     ///< the log could not be opened; nothing was audited
    bool logFailed = false;       ///< a verdict line could not be written to the log
    bool outputFailed = false;    ///< a line could not be written to the output
    bool brokenPipe = false;      ///< the output's reader went away
    double seconds = 0;
};

/// Audits every photo named by `arguments` with options.jobs workers, each with a face cascade
/// of its own and every audit starting from the random generator's initial state, and writes
/// one line per input to `out` in input order, whatever the number of workers: the verdict, or
/// an error for an input that could not be audited. Verdict lines go to the log and passed
/// photos are saved in the same order; a save never replaces an input, nor any existing file
/// unless options.overwrite. When `stop` becomes non-zero (a signal number) or the output fails,
/// no further photo is started; the photos under way are finished and reported but not saved.
/// An exception escaping an audit gives that photo an error line; the run goes on. Only a few
/// photos are held at any time.
BatchSummary RunBatch(const std::vector<std::string>& arguments, const BatchOptions& options,
                      std::FILE* out, std::FILE* err, const std::atomic<int>* stop,
                      const AuditStep& step = {});

/// Where a passed photo was saved (`path`), or why it was not (`reason`).
struct SaveNote {
    std::string path;
    std::string reason;
};

/// One audited photo's record exactly as vetrix-audit prints it: the quoted name, verdict and
/// message (with `why`, the plain reason too), or the JSON object with the decoder's warnings;
/// with `save`, where the photo was saved or why not. For front ends that audit one photo at a
/// time without RunBatch.
std::string PhotoRecord(const std::string& photo, const CPhotoAudit& audit, bool json, bool why,
                        const std::optional<SaveNote>& save);

/// The record of an input that got no verdict, as vetrix-audit prints it.
std::string PhotoErrorRecord(const std::string& photo, const std::string& error, bool json);

/// Saves `bytes` of a passed photo into `dir` as vetrix-audit --save does: <stem>.jpg or the
/// first free <stem>-N.jpg, never replacing an existing file nor taking the name of an input in
/// `arguments`; `used` holds the names this run has taken.
SaveNote SaveNewPhoto(const std::vector<std::string>& arguments, const std::string& dir,
                      const std::string& photo, const std::vector<std::uint8_t>& bytes,
                      std::set<std::string>& used);

/// The summary line: photos, time, and the count of every verdict.
std::string SummaryText(const BatchSummary& summary);

/// The exit status for a finished run: 2 when no cascade or log could be opened; 128 + the
/// signal when one stopped it; 3 when the output or the log failed; 1 when any input was rejected, not saved or could not be audited; else 0.
int ExitStatus(const BatchSummary& summary);
