#include "cli/Verify.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include <sys/stat.h>

#include "cli/Batch.h"
#include "engine/AuditJson.h"
#include "engine/PhotoAudit.h"
#include "engine/Verify.h"

namespace {

// The whole file, or false with the reason. Only regular files are read: a FIFO or a device
// named like a photo would block or never end.
bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& why) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        why = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        why = "not a regular file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        why = std::strerror(errno);
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        why = "read error";
        return false;
    }
    return true;
}

}  // namespace

VerifySummary RunVerify(const std::vector<std::string>& inputs, const VerifyRunOptions& options,
                        std::FILE* out, const std::atomic<int>* stop) {
    VerifySummary summary;
    cv::CascadeClassifier cascade;
    const std::string cascadeFile =
        options.cascadeFile.empty() ? FindFaceCascade() : options.cascadeFile;
    try {
        if (cascadeFile.empty() || !cascade.load(cascadeFile)) {
            summary.noCascade = true;
            return summary;
        }
    } catch (const std::exception&) {
        summary.noCascade = true;
        return summary;
    }

    PhotoSource source(inputs);
    std::vector<std::uint8_t> bytes;
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
        std::string why;
        if (!ReadWholeFile(*file, bytes, why)) {
            error(*file, "cannot read: " + why);
            continue;
        }
        VerifyResult result;
        try {
            result = VerifySavedPhoto(bytes.data(), bytes.size(), cascade);
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
