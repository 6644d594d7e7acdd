#include "batch/Records.h"

#include <cstdio>

#include "engine/AuditJson.h"

std::string PhotoErrorRecord(const std::string& photo, const std::string& error, bool json) {
    // Appended piece by piece: GCC 12 at -O3 warns, wrongly, about a string literal plus a
    // temporary string (-Wrestrict).
    std::string record;
    if (json) {
        record += '{';
        record += JsonFileMembers(photo);
        record += ", \"error\": ";
        record += JsonString(error);
        record += '}';
    } else {
        record += QuoteFileName(photo);
        record += "\tError\t";
        record += error;
    }
    return record;
}

std::string PhotoRecord(const std::string& photo, int state, const AuditDetails& details,
                        bool json, bool why, const std::optional<SaveNote>& save,
                        const std::optional<SaveNote>& annotated) {
    if (!json) {
        std::string line = QuoteFileName(photo) + '\t' + ResultStateName(state) + '\t' +
                           ResultMessage(state);
        if (why) {
            line += '\t' + WhyReason(details.why, details.crop);
        }
        if (save && state == Passed) {
            line += save->path.empty() ? "\tnot saved: " + save->reason
                                       : "\tsaved: " + QuoteFileName(save->path);
        }
        return line;
    }
    std::string object = AuditJson(photo, state, details);
    object.pop_back();
    // Only for a photo the decoder complained about, so that a clean photo's object stays
    // exactly the audit's own.
    if (!details.warnings.empty()) {
        object += ", \"warnings\": [";
        for (std::size_t i = 0; i < details.warnings.size(); ++i) {
            object += (i > 0 ? ", " : "") + JsonString(details.warnings[i]);
        }
        object += "]";
    }
    if (annotated) {
        object += ", \"annotated\": " +
                  (annotated->path.empty() ? "null" : JsonString(annotated->path));
    }
    if (save) {
        object += ", \"saved\": " + (save->path.empty() ? "null" : JsonString(save->path));
        if (!save->reason.empty()) {
            object += ", \"save_error\": " + JsonString(save->reason);
        }
    }
    return object + "}";
}

std::string SummaryText(const BatchSummary& summary) {
    if (summary.photos == 0 && summary.stopSignal == 0) {
        return "no photo found: name photos (" + DecodedFormatsText() +
               ") or folders that hold them";
    }
    char head[96];
    std::snprintf(head, sizeof head, "%zu photo%s in %.1f s%s:", summary.photos,
                  summary.photos == 1 ? "" : "s", summary.seconds,
                  summary.stopSignal != 0 ? " (interrupted)" : "");
    std::string text = head;
    const int order[] = {Passed, BadFormat, NoSinglePortrait, BadSize, BadBackground,
                         BadProportion};
    for (const int state : order) {
        text += ' ' + std::string(ResultStateName(state)) + ' ' +
                std::to_string(summary.counts[static_cast<std::size_t>(state)]) +
                (state == BadProportion ? "" : ",");
    }
    if (summary.errors > 0) {
        text += "; " + std::to_string(summary.errors) + " not audited";
    }
    if (summary.saveFailures > 0) {
        text += "; " + std::to_string(summary.saveFailures) + " not saved";
    }
    return text;
}

int ExitStatus(const BatchSummary& summary) {
    if (summary.noCascade || summary.logUnopened) {
        return 2;
    }
    if (summary.stopSignal != 0) {
        return 128 + summary.stopSignal;
    }
    if (summary.outputFailed || summary.logFailed) {
        return 3;
    }
    const bool allPassed = summary.photos > 0 && summary.counts[Passed] == summary.photos;
    return allPassed && summary.saveFailures == 0 && summary.errors == 0 ? 0 : 1;
}
