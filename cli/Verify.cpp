#include "cli/Verify.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include <sys/stat.h>

#include "cli/Batch.h"
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
                        std::FILE* out, std::FILE* err, const std::atomic<bool>* stop) {
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
    while (stop == nullptr || !stop->load()) {
        const std::optional<std::string> file = source.Next();
        if (!file) {
            break;
        }
        ++summary.files;
        std::string why;
        if (!ReadWholeFile(*file, bytes, why)) {
            ++summary.unreadable;
            std::fprintf(err, "vetrix-audit: cannot read %s: %s\n", ToValidUtf8(*file).c_str(),
                         why.c_str());
            continue;
        }
        VerifyResult result;
        try {
            result = VerifySavedPhoto(bytes.data(), bytes.size(), cascade);
        } catch (const std::exception& e) {
            ++summary.unreadable;
            std::fprintf(err, "vetrix-audit: cannot verify %s: %s\n", ToValidUtf8(*file).c_str(),
                         e.what());
            continue;
        }
        if (result.outcome == VerifyOutcome::Verified) {
            ++summary.verified;
        }
        const std::string line =
            options.json ? VerifyJson(*file, result)
                         : ToValidUtf8(*file) + '\t' + VerifyOutcomeName(result.outcome) + '\t' +
                               VerifyOutcomeMessage(result.outcome);
        std::fprintf(out, "%s\n", line.c_str());
        std::fflush(out);
    }
    for (const std::string& error : source.Errors()) {
        std::fprintf(err, "vetrix-audit: cannot read folder %s\n", error.c_str());
    }
    summary.unreadable += source.Errors().size();
    summary.interrupted = stop != nullptr && stop->load();
    return summary;
}
