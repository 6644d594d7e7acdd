#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>

#include "engine/Audit.h"
#include "engine/ResultState.h"

/// Where a passed photo was saved (`path`), or why it was not (`reason`).
struct SaveNote {
    std::string path;
    std::string reason;
};

/// One audited photo's record exactly as vetrix-audit prints it: the quoted name, verdict and
/// message (with `why`, the plain reason too), or the JSON object with the decoder's warnings;
/// with `annotated`, where the annotated copy went; with `save`, where the photo was saved or
/// why not.
std::string PhotoRecord(const std::string& photo, int state, const AuditDetails& details,
                        bool json, bool why, const std::optional<SaveNote>& save,
                        const std::optional<SaveNote>& annotated = std::nullopt);

/// The record of an input that got no verdict: the name, "Error" and the reason, or the JSON
/// object with the keys file and error.
std::string PhotoErrorRecord(const std::string& photo, const std::string& error, bool json);

/// What a run did, for its summary and exit status.
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

/// The summary line: photos, time, and the count of every verdict; "no photo found" for a run
/// that found nothing to audit.
std::string SummaryText(const BatchSummary& summary);

/// The exit status for a finished run: 2 when no cascade or log could be opened; 128 + the
/// signal when one stopped it; 3 when the output or the log failed; 1 when any input was
/// rejected, not saved or could not be audited, or when there was no photo at all; else 0.
int ExitStatus(const BatchSummary& summary);
