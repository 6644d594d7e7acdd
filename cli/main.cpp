// vetrix-audit: audits portrait photos from the command line with the same verdict ladder as the
// window, one photo or whole folders at a time.

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "cli/Batch.h"
#include "cli/Verify.h"

namespace {

constexpr const char* kUsage =
    "Usage: vetrix-audit [OPTION]... PHOTO|FOLDER...\n"
    "       vetrix-audit --verify [--json] FILE|FOLDER...\n"
    "\n"
    "Audits each photo as the Vetrix window does: it must decode, show one face (or two, of\n"
    "which the wider counts), be at least 30720 bytes and 215 x 300 pixels, stand before a plain\n"
    "red, blue or white background, and frame as a portrait.\n"
    "\n"
    "A FOLDER is walked recursively, in name order, for files ending in .jpg, .jpeg or .jpe in\n"
    "any letter case. A PHOTO given by name is always audited, whatever its extension.\n"
    "\n"
    "Output: one line per photo on standard output, in input order: the file, the verdict and\n"
    "its message, separated by tabs. Verdicts: Passed, BadFormat, NoSinglePortrait, BadSize,\n"
    "BadBackground, BadProportion. A summary (a count per verdict and the time taken) follows\n"
    "on standard error, and a progress bar is drawn there while a terminal shows it.\n"
    "\n"
    "Options:\n"
    "  --json          print one JSON object per photo instead, with the keys file, code,\n"
    "                  state, message, faces (every detection as [x, y, w, h], top to\n"
    "                  bottom, then left to right), face (the chosen one, or null), crop\n"
    "                  ([x, y, w, h] cut from the scaled photo, or null), scale (or null)\n"
    "                  and size ([w, h] of the normalised photo, or null)\n"
    "  --save DIR      write each passed photo to DIR/<name>.jpg exactly as the window saves\n"
    "                  it (JPEG quality 50 and the Vetrix trailer); a name already written in\n"
    "                  this run gets a numbered suffix (<name>-2.jpg) instead of overwriting\n"
    "  --log FILE      append the verdict lines to FILE in the run-log format\n"
    "  --jobs N        audit N photos at once (default: the number of cores); the output\n"
    "                  keeps the input order whatever N is\n"
    "  --cascade FILE  use this face cascade instead of haarcascade_frontalface_alt2.xml from\n"
    "                  the working directory or, failing that, from OpenCV's installed data\n"
    "  --verify        instead of auditing, check that each file is a photo that Vetrix\n"
    "                  saved, unaltered; the outcome is the first check that fails, in this\n"
    "                  order: NoTrailer, NotJpeg, WrongSize, Reencoded, NoFace; otherwise\n"
    "                  Verified. With --json the keys are file, outcome, verified, message,\n"
    "                  size, faces and turn. Exit status 0 when every file verified, else 1.\n"
    "                  The trailer is no signature: anyone can append it.\n"
    "  --help          show this text\n"
    "\n"
    "Ctrl-C stops after the photos under way: every printed line is complete, and no partly\n"
    "written file is left behind.\n"
    "\n"
    "Exit status: 0 when every photo passed (and every save succeeded), 1 when any was\n"
    "rejected, could not be saved, or a folder could not be read, 2 for a usage error or when\n"
    "no face cascade loads, 130 when interrupted.\n";

std::atomic<bool> g_stop{false};

extern "C" void OnInterrupt(int) {
    g_stop.store(true);
    // A second Ctrl-C ends the program at once.
    std::signal(SIGINT, SIG_DFL);
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "vetrix-audit: %s\nTry 'vetrix-audit --help'.\n", message.c_str());
    return 2;
}

unsigned DefaultJobs() { return std::max(1u, std::thread::hardware_concurrency()); }

}  // namespace

int main(int argc, char** argv) {
    BatchOptions options;
    options.jobs = DefaultJobs();
    std::vector<std::string> inputs;
    bool onlyInputs = false;
    bool verify = false;
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
        } else if (arg == "--verify") {
            verify = true;
        } else if (arg == "--save" || arg == "--log" || arg == "--jobs" || arg == "--cascade") {
            if (i + 1 >= argc) {
                return UsageError(arg + " needs an argument");
            }
            const std::string value = argv[++i];
            if (arg == "--save") {
                options.saveDir = value;
            } else if (arg == "--log") {
                options.logFile = value;
            } else if (arg == "--cascade") {
                options.cascadeFile = value;
            } else {
                char* end = nullptr;
                const long jobs = std::strtol(value.c_str(), &end, 10);
                if (value.empty() || *end != '\0' || jobs < 1 || jobs > 256) {
                    return UsageError("--jobs takes a number from 1 to 256");
                }
                options.jobs = static_cast<unsigned>(jobs);
            }
        } else {
            return UsageError("unknown option " + arg);
        }
    }
    if (inputs.empty()) {
        return UsageError("no photo or folder given");
    }
    if (verify) {
        if (!options.saveDir.empty() || !options.logFile.empty()) {
            return UsageError("--verify takes neither --save nor --log");
        }
        std::signal(SIGINT, OnInterrupt);
        const VerifySummary summary =
            RunVerify(inputs, VerifyRunOptions{options.json, options.cascadeFile}, stdout, stderr,
                      &g_stop);
        if (summary.noCascade) {
            std::fprintf(stderr, "vetrix-audit: no face cascade could be loaded\n");
            return 2;
        }
        if (summary.interrupted) {
            return 130;
        }
        return summary.verified == summary.files && summary.unreadable == 0 ? 0 : 1;
    }
    std::error_code ec;
    if (!options.saveDir.empty() && !std::filesystem::is_directory(options.saveDir, ec)) {
        return UsageError("--save: not a folder: " + options.saveDir);
    }
    if (!options.logFile.empty()) {
        std::FILE* probe = std::fopen(options.logFile.c_str(), "a");
        if (probe == nullptr) {
            return UsageError("--log: cannot open " + options.logFile);
        }
        std::fclose(probe);
    }
    // The bar only makes sense for a person watching more than one photo go by.
    options.progress =
        isatty(STDERR_FILENO) != 0 && (inputs.size() > 1 || std::filesystem::is_directory(inputs[0], ec));

    std::signal(SIGINT, OnInterrupt);
    const BatchSummary summary = RunBatch(inputs, options, stdout, stderr, &g_stop);
    if (summary.noCascade) {
        std::fprintf(stderr, "vetrix-audit: no face cascade could be loaded\n");
        return 2;
    }
    std::fprintf(stderr, "%s\n", SummaryText(summary).c_str());
    if (summary.interrupted) {
        return 130;
    }
    const bool allPassed = summary.counts[Passed] == summary.photos;
    return allPassed && summary.saveFailures == 0 && summary.unreadableFolders == 0 ? 0 : 1;
}
