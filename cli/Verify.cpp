#include "cli/Verify.h"

#include "batch/Inputs.h"
#include "batch/Records.h"
#include "engine/AuditJson.h"
#include "engine/Verify.h"
#include "platform/Files.h"

VerifySummary RunVerify(const std::vector<std::string>& inputs, const VerifyRunOptions& options,
                        std::FILE* out, const std::atomic<int>* stop) {
    VerifySummary summary;
    cv::CascadeClassifier cascade;
    const std::string cascadeFile =
        options.cascadeFile.empty() ? FindFaceCascade() : options.cascadeFile;
    try {
        if (cascadeFile.empty() || !LoadFaceCascadeFile(cascade, cascadeFile)) {
            summary.noCascade = true;
            return summary;
        }
    } catch (const std::exception&) {
        summary.noCascade = true;
        return summary;
    }

    PhotoSource source(inputs);
    const auto print = [&](const std::string& line) {
        if (std::fprintf(out, "%s\n", line.c_str()) < 0 || std::fflush(out) != 0) {
            summary.outputFailed = true;
        }
    };
    const auto error = [&](const std::string& file, const std::string& why) {
        ++summary.unreadable;
        print(PhotoErrorRecord(file, why, options.json));
    };
    while ((stop == nullptr || stop->load() == 0) && !summary.outputFailed) {
        const std::optional<PhotoInput> input = source.Next();
        if (!input) {
            break;
        }
        const std::string* file = &input->path;
        ++summary.files;
        if (!input->error.empty()) {
            error(*file, input->error);  // a folder that could not be listed
            continue;
        }
        // A saved photo is tens of kilobytes; the audit's own file limit is ample.
        const FileBytes read = ReadFileBytes(*file, kMaxPhotoFileBytes);
        if (read.error) {
            error(*file, "cannot read: " + read.error.message());
            continue;
        }
        VerifyResult result;
        try {
            result = VerifySavedPhoto(read.bytes.data(), read.bytes.size(), cascade);
        } catch (const std::exception& e) {
            error(*file, std::string("cannot verify: ") + e.what());
            continue;
        }
        if (result.outcome == VerifyOutcome::Verified) {
            ++summary.verified;
        }
        print(options.json ? VerifyJson(*file, result)
                           : QuoteFileName(*file) + '\t' + VerifyOutcomeName(result.outcome) +
                                 '\t' + VerifyOutcomeMessage(result.outcome));
    }
    summary.stopSignal = stop != nullptr ? stop->load() : 0;
    return summary;
}
