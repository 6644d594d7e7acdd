// vetrix-audit.js: the command-line audit, compiled to WebAssembly for node. It takes the
// options of the native vetrix-audit that make sense in one thread and runs the same batch
// runner with one worker, so that the engine built for the web can be compared with the native
// one photo for photo.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "batch/Batch.h"

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
    "A FOLDER is walked recursively, in name order, for files ending in .jpg, .jpeg, .jpe,\n"
    ".png or .bmp in any letter case. A PHOTO given by name is always audited, whatever its\n"
    "extension. A name that cannot be read gets an Error line.\n"
    "\n"
    "Output: one line per photo on standard output, in input order: the file, the verdict and\n"
    "its message, separated by tabs. A summary follows on standard error.\n"
    "\n"
    "Options:\n"
    "  --json          print one JSON object per photo instead, as vetrix-audit --json does\n"
    "  --save DIR      write each passed photo to DIR/<name>.jpg exactly as the window saves\n"
    "                  it; an existing file is never replaced: the photo takes the first free\n"
    "                  name of <name>-2.jpg, <name>-3.jpg, ...\n"
    "  --log FILE      append the verdict lines to FILE in the run-log format\n"
    "  --cascade FILE  use this face cascade instead of haarcascade_frontalface_alt2.xml from\n"
    "                  the working directory or, failing that, the copy beside this command\n"
    "  --help          show this text\n"
    "\n"
    "Photos are audited one at a time.\n"
    "\n"
    "Exit status: 0 when every photo passed (and every save succeeded), 1 when any was\n"
    "rejected, could not be saved or read, or when no photo was found, 2 for a usage error or\n"
    "when no face cascade loads.\n";

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
    if (options.cascadeFile.empty()) {
        if (const char* beside = std::getenv("VETRIX_SYSTEM_CASCADE")) {
            // Set by the script's loader: the copy installed beside the command.
            options.systemCascadeFile = beside;
        }
    }
    // One worker, on this thread: the runner starts no thread for it.
    options.jobs = 1;
    options.program = "vetrix-audit.js";
    const BatchSummary summary = RunBatch(inputs, options, stdout, stderr, nullptr);
    if (!summary.noCascade && !summary.logUnopened) {
        std::fprintf(stderr, "%s\n", SummaryText(summary).c_str());
    }
    return ExitStatus(summary);
}
