#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "batch/Inputs.h"
#include "batch/Records.h"
#include "engine/Audit.h"

/// How a run audits, saves, logs and prints.
struct BatchOptions {
    bool json = false;         ///< one JSON object per photo instead of a text line
    std::string saveDir;       ///< where passed photos are saved; empty: not saved
    bool overwrite = false;    ///< a save may replace an existing file that is not an input
    std::string logFile;       ///< run log to append the verdict lines to; empty: none
    std::string cascadeFile;   ///< face cascade to use; empty: the usual lookup
    std::string systemCascadeFile = SystemFaceCascade();  ///< the lookup's fallback
    unsigned jobs = 1;         ///< photos audited at once; 1 audits on the calling thread
    std::uint64_t maxPixels = kDefaultMaxPixels;  ///< larger photos are refused as BadSize
    bool progress = false;     ///< draw a progress bar on the error stream
    bool why = false;          ///< end each text line with a short plain reason
    std::string annotateDir;   ///< where annotated copies go (PNG); empty: none
    std::string program = "vetrix-audit";  ///< names the messages on the error stream
};

/// How a worker audits one file as read: AuditReadFile unless a caller (a test) supplies
/// something else.
using AuditStep = std::function<FileAudit(const std::string& path, const FileBytes& file,
                                          const FaceFinder& findFaces,
                                          const AuditOptions& options)>;

/// Audits every photo named by `arguments` (PhotoSource) and writes one line per input to `out`
/// in input order, whatever the number of workers: the verdict, or an error for an input that
/// could not be read or audited. options.jobs workers each have a face cascade of their own; one
/// worker audits on the calling thread, starting no thread. Every audit starts from the same
/// fill seed (AuditOptions), so a photo's verdict does not depend on its place in the run.
/// Verdict lines go to the log and passed photos are saved in the same order; a save never
/// replaces an input, nor any existing file unless options.overwrite. When `stop` becomes
/// non-zero (a signal number) or the output fails, no further photo is started; the photos
/// under way are finished and reported but not saved. An exception escaping an audit gives that
/// photo an error line; the run goes on. Only a few photos are held at any time.
BatchSummary RunBatch(const std::vector<std::string>& arguments, const BatchOptions& options,
                      std::FILE* out, std::FILE* err, const std::atomic<int>* stop,
                      const AuditStep& step = {});
