// vetrix-audit.js: the command-line audit, compiled to WebAssembly for node. It takes the
// options of the native vetrix-audit that make sense in one thread and prints the same output,
// so that the engine built for the web can be compared with the native one photo for photo.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cli/Batch.h"
#include "engine/AuditJson.h"
#include "engine/Export.h"
#include "engine/PhotoAudit.h"
#include "log/Log.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kUsage =
    "Usage: vetrix-audit.js [OPTION]... PHOTO|FOLDER...\n"
    "\n"
    "Audits each photo as the Vetrix window does, with the engine compiled to WebAssembly. It\n"
    "must decode, show one face (or two, of which the wider counts), be at least 30720 bytes\n"
    "and 215 x 300 pixels, stand before a plain red, blue or white background, and frame as a\n"
    "portrait. JPEG, PNG and BMP files are read; anything else gets BadFormat.\n"
    "\n"
    "A FOLDER is walked recursively, in name order, for files ending in .jpg, .jpeg or .jpe in\n"
    "any letter case. A PHOTO given by name is always audited, whatever its extension.\n"
    "\n"
    "Output: one line per photo on standard output, in input order: the file, the verdict and\n"
    "its message, separated by tabs. A summary follows on standard error.\n"
    "\n"
    "Options:\n"
    "  --json          print one JSON object per photo instead, as vetrix-audit --json does\n"
    "  --save DIR      write each passed photo to DIR/<name>.jpg exactly as the window saves\n"
    "                  it; a name already written in this run gets a numbered suffix\n"
    "  --log FILE      append the verdict lines to FILE in the run-log format\n"
    "  --cascade FILE  use this face cascade instead of haarcascade_frontalface_alt2.xml from\n"
    "                  the working directory or, failing that, the copy beside this command\n"
    "  --help          show this text\n"
    "\n"
    "Photos are audited one at a time.\n"
    "\n"
    "Exit status: 0 when every photo passed (and every save succeeded), 1 when any was\n"
    "rejected, could not be saved, or a folder could not be read, 2 for a usage error or when\n"
    "no face cascade loads.\n";

int UsageError(const std::string& message) {
    std::fprintf(stderr, "vetrix-audit.js: %s\nTry 'vetrix-audit.js --help'.\n", message.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    BatchOptions options;
    std::vector<std::string> inputs;
    bool onlyInputs = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (onlyInputs || arg.empty() || arg[0] != '-' || arg == "-") {
            inputs.push_back(arg);
            continue;
        }
        if (arg == "--") {
            onlyInputs = true;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--save" || arg == "--log" || arg == "--cascade") {
            if (i + 1 >= argc) {
                return UsageError(arg + " needs an argument");
            }
            const std::string value = argv[++i];
            (arg == "--save" ? options.saveDir
                             : arg == "--log" ? options.logFile : options.cascadeFile) = value;
        } else if (arg == "--jobs") {
            return UsageError("--jobs: this command audits one photo at a time");
        } else {
            return UsageError("unknown option " + arg);
        }
    }
    if (inputs.empty()) {
        return UsageError("no photo or folder given");
    }
    std::error_code ec;
    if (!options.saveDir.empty() && !fs::is_directory(options.saveDir, ec)) {
        return UsageError("--save: not a folder: " + options.saveDir);
    }
    CLog log;
    if (!options.logFile.empty() && log.Open(options.logFile.c_str()) == nullptr) {
        return UsageError("--log: cannot open " + options.logFile);
    }

    CommandAudit audit;
    // Each photo gets the same verdict whatever was audited before it.
    audit.m_bRestartRandomState = true;
    if (!options.cascadeFile.empty()) {
        audit.m_strCascadeFile = options.cascadeFile;
        audit.m_strSystemCascadeFile.clear();
    } else if (const char* beside = std::getenv("VETRIX_SYSTEM_CASCADE")) {
        // Set by the script's loader: the copy installed beside the command.
        audit.m_strSystemCascadeFile = beside;
    }
    if (!audit.LoadFaceCascade()) {
        std::fprintf(stderr, "vetrix-audit.js: no face cascade could be loaded\n");
        return 2;
    }

    const auto started = std::chrono::steady_clock::now();
    BatchSummary summary;
    std::set<std::string> savedNames;
    PhotoSource source(inputs);
    while (const std::optional<PhotoInput> input = source.Next()) {
        std::string record;
        if (!input->error.empty()) {
            ++summary.errors;
            record = PhotoErrorRecord(input->path, input->error, options.json);
        } else {
            try {
                audit.AuditFile(input->path,
                                QuoteFileName(fs::path(input->path).filename().string()));
            } catch (const std::exception& e) {
                // No verdict was reached (out of memory, a failure inside OpenCV): said, not
                // guessed.
                ++summary.errors;
                record = PhotoErrorRecord(input->path, std::string("audit failed: ") + e.what(),
                                          options.json);
            }
        }
        if (record.empty()) {
            std::optional<SaveNote> save;
            if (!options.saveDir.empty()) {
                save = SaveNote{};
                if (audit.m_nState == Passed) {
                    save = SaveNewPhoto(inputs, options.saveDir, input->path,
                                        EncodeApprovedPhoto(audit.m_matResult), savedNames);
                    if (save->path.empty()) {
                        ++summary.saveFailures;
                    }
                }
            }
            record = PhotoRecord(input->path, audit, options.json, false, save);
            if (log.IsOpen()) {
                log.Print("%s", audit.verdictLine.c_str());
            }
            ++summary.counts[audit.m_nState];
        }
        std::printf("%s\n", record.c_str());
        std::fflush(stdout);
        ++summary.photos;
    }
    summary.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::fprintf(stderr, "%s\n", SummaryText(summary).c_str());
    const bool allPassed = summary.counts[Passed] == summary.photos;
    return allPassed && summary.saveFailures == 0 && summary.errors == 0 ? 0 : 1;
}
