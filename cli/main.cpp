// vetrix-audit: audits portrait photos from the command line with the same verdict ladder as the
// window, one photo or whole folders at a time.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <getopt.h>
#include <unistd.h>

#include "batch/Batch.h"
#include "cli/Verify.h"
#include "engine/AuditJson.h"
#include "engine/Export.h"
#include "platform/Files.h"
#include "platform/System.h"
#include "vetrix/Version.h"

namespace {

// The help text; @FORMATS@ and @ENDINGS@ stand for what this build reads.
constexpr const char* kUsage =
    "Usage: vetrix-audit [OPTION]... PHOTO|FOLDER|-...\n"
    "       vetrix-audit --verify [--json] FILE|FOLDER...\n"
    "\n"
    "Audits each photo as the Vetrix window does: it must decode, show one face (or two, of\n"
    "which the wider counts), be at least 30720 bytes and 215 x 300 pixels, stand before a plain\n"
    "red, blue or white background, and frame as a portrait. Photos are read in these formats,\n"
    "told by their content, whatever their name: @FORMATS@; anything else is BadFormat.\n"
    "\n"
    "A FOLDER is walked recursively, in name order, for files ending in @ENDINGS@ in\n"
    "any letter case. A PHOTO given by name is always audited, whatever its extension.\n"
    "'-' reads one photo from standard input.\n"
    "\n"
    "Output: one line per input on standard output, in input order: the file, the verdict and\n"
    "its message, separated by tabs. Verdicts: Passed, BadFormat, NoSinglePortrait, BadSize,\n"
    "BadBackground, BadProportion. An input that could not be audited (a file or folder that\n"
    "does not exist or cannot be read, a failure during the audit) gets the word Error and the\n"
    "reason instead. Under --save\n"
    "a passed photo's line has a fourth field: 'saved: PATH' or 'not saved: REASON'.\n"
    "Names are quoted so that each line is one record: a backslash is doubled, tab, newline,\n"
    "carriage return, bell, backspace, form feed and vertical tab print as \\t \\n \\r \\a \\b\n"
    "\\f \\v, other control characters and bytes that are not UTF-8 as \\ and three octal\n"
    "digits (\\033, \\377); the run log quotes names the same way.\n"
    "A summary (a count per verdict and the time taken) follows on standard error, and a\n"
    "progress bar is drawn there while a terminal shows it. Decoder warnings for a photo go to\n"
    "standard error as 'vetrix-audit: NAME: warning: TEXT'.\n"
    "\n"
    "Options:\n"
    "      --json          print one JSON object per input instead, with the keys file, code,\n"
    "                      state, message, faces (every detection as [x, y, w, h], top to\n"
    "                      bottom, then left to right), face (the chosen one, or null), crop\n"
    "                      ([x, y, w, h] cut from the scaled photo, or null), scale (or null)\n"
    "                      and size ([w, h] of the normalised photo, or null); warnings (the\n"
    "                      decoder's complaints) when there are any; under --save, saved (the\n"
    "                      path, or null) and, for a passed photo not saved, save_error. A\n"
    "                      name that is not UTF-8 shows U+FFFD in file and comes quoted as\n"
    "                      above in file_escaped. An input not audited: file and error only.\n"
    "      --save DIR      write each passed photo to DIR/<name>.jpg exactly as the window\n"
    "                      saves it (JPEG quality 50 and the Vetrix trailer). An existing\n"
    "                      file is never replaced: the photo takes the first free name of\n"
    "                      <name>-2.jpg, <name>-3.jpg, ...\n"
    "      --overwrite     with --save, replace files of earlier runs instead; an input is\n"
    "                      never replaced\n"
    "      --log FILE      append the verdict lines to FILE in the run-log format\n"
    "  -j, --jobs N        audit N photos at once (default: the number of cores); the output\n"
    "                      keeps the input order whatever N is\n"
    "      --max-pixels N  refuse a photo whose header declares more than N pixels, as BadSize,\n"
    "                      without decoding it (default: @MAXPIXELS@; one audit needs about\n"
    "                      @MIBPERMP@ MiB per megapixel)\n"
    "      --cascade FILE  use this face cascade instead of haarcascade_frontalface_alt2.xml\n"
    "                      from the working directory or, failing that, OpenCV's installed data\n"
    "      --verify        instead of auditing, check that each file has exactly the\n"
    "                      structure, size and tables of a photo Vetrix saves, and shows a\n"
    "                      face; the outcome is the first check that fails, in this order:\n"
    "                      NoTrailer, NotJpeg, DataAfterImage, NotBaseline, ExtraSegment,\n"
    "                      AlteredStructure, WrongSize, Reencoded, NoFace; otherwise\n"
    "                      Verified. With --json the keys are file, outcome, verified,\n"
    "                      message, size, faces and turn. Exit status 0 when every file\n"
    "                      verified, else 1. An edit saved again by the same encoder still\n"
    "                      verifies: only a signature from vetrix-serve proves the origin.\n"
    "      --why           end each text line with a tab and a short plain reason: what the\n"
    "                      candidate should change, and the figures that decided (under\n"
    "                      --json the key why always holds the full facts)\n"
    "      --annotate DIR  write a copy of each photo that decodes to DIR/<name>.png, named as\n"
    "                      --save names its files, showing every detection (yellow), the chosen\n"
    "                      face (green), the three background samples (coloured by class: red,\n"
    "                      blue, white, grey for none), the head-top row (cyan) and the crop cut\n"
    "                      (magenta) or the crop tried when none fitted (orange); under --json\n"
    "                      the key annotated gives its path (or null)\n"
    "  -h, --help          show this text\n"
    "      --version       show the version\n"
    "\n"
    "@STOPS@"
    "\n"
    "Exit status: 0 when every photo passed (and every save succeeded); 1 when any was\n"
    "rejected, could not be saved or could not be audited, or when no photo was found; 2 for a\n"
    "usage error, or when no face cascade or log can be opened (nothing is audited then); 3\n"
    "when a line could not be written to standard output or the log (a warning says so);\n"
    "@STOPSTATUS@";

std::atomic<int> g_signal{0};

int UsageError(const std::string& message) {
    std::fprintf(stderr, "vetrix-audit: %s\nTry 'vetrix-audit --help'.\n", message.c_str());
    return 2;
}

unsigned DefaultJobs() { return std::max(1u, std::thread::hardware_concurrency()); }

enum class Mode { Audit, Verify, Help, Version };

// kUsage with what this build reads filled in.
std::string UsageText() {
    std::string endings;
    const std::vector<std::string> list = PhotoFileEndings();
    for (std::size_t i = 0; i < list.size(); ++i) {
        endings += (i == 0 ? "" : i + 1 == list.size() ? " or " : ", ") + list[i];
    }
    char mib[16];
    std::snprintf(mib, sizeof mib, "%.1f", kAuditBytesPerPixel * 1e6 / (1 << 20));
    std::string text = kUsage;
    const std::pair<const char*, std::string> fills[] = {
        {"@FORMATS@", DecodedFormatsText()},
        {"@ENDINGS@", endings},
        {"@MAXPIXELS@", std::to_string(kDefaultMaxPixels)},
        {"@MIBPERMP@", mib},
        {"@STOPS@", StopRequestsHelp()},
        {"@STOPSTATUS@", StopStatusHelp()},
    };
    for (const auto& [mark, value] : fills) {
        text.replace(text.find(mark), std::string(mark).size(), value);
    }
    return text;
}

struct CommandLine {
    Mode mode = Mode::Audit;
    BatchOptions options;
    std::vector<std::string> inputs;
};

// Fills `line` from the arguments; returns 0, or the exit status of a usage error.
int ParseCommandLine(int argc, char** argv, CommandLine& line) {
    enum : int { kJson = 256, kSave, kOverwrite, kLog, kCascade, kMaxPixels, kVerify, kWhy,
                 kAnnotate, kVersion };
    static const option kOptions[] = {
        {"json", no_argument, nullptr, kJson},
        {"save", required_argument, nullptr, kSave},
        {"overwrite", no_argument, nullptr, kOverwrite},
        {"log", required_argument, nullptr, kLog},
        {"jobs", required_argument, nullptr, 'j'},
        {"cascade", required_argument, nullptr, kCascade},
        {"max-pixels", required_argument, nullptr, kMaxPixels},
        {"verify", no_argument, nullptr, kVerify},
        {"why", no_argument, nullptr, kWhy},
        {"annotate", required_argument, nullptr, kAnnotate},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0},
    };
    BatchOptions& options = line.options;
    options.jobs = DefaultJobs();
    const auto value = [](const char* option) -> std::optional<std::string> {
        if (optarg == nullptr || *optarg == '\0') {
            UsageError(std::string(option) + " needs a non-empty argument");
            return std::nullopt;
        }
        return std::string(optarg);
    };
    opterr = 0;  // the messages below name the program as the others do
    for (int index = 0, c; (c = getopt_long(argc, argv, ":hj:", kOptions, &index)) != -1;) {
        std::optional<std::string> text;
        switch (c) {
            case 'h': line.mode = Mode::Help; return 0;
            case kVersion: line.mode = Mode::Version; return 0;
            case kJson: options.json = true; break;
            case kVerify: line.mode = Mode::Verify; break;
            case kOverwrite: options.overwrite = true; break;
            case kSave:
                if (!(text = value("--save"))) return 2;
                options.saveDir = *text;
                break;
            case kLog:
                if (!(text = value("--log"))) return 2;
                options.logFile = *text;
                break;
            case kCascade:
                if (!(text = value("--cascade"))) return 2;
                options.cascadeFile = *text;
                break;
            case kMaxPixels: {
                char* end = nullptr;
                errno = 0;
                const unsigned long long pixels = std::strtoull(optarg, &end, 10);
                if (*optarg < '0' || *optarg > '9' || *end != '\0' || errno != 0 || pixels == 0) {
                    return UsageError("--max-pixels takes a whole number of pixels above 0");
                }
                options.maxPixels = pixels;
                break;
            }
            case kWhy: options.why = true; break;
            case kAnnotate:
                if (!(text = value("--annotate"))) return 2;
                options.annotateDir = *text;
                break;
            case 'j': {
                char* end = nullptr;
                errno = 0;
                const long jobs = std::strtol(optarg, &end, 10);
                if (*optarg == '\0' || *end != '\0' || errno != 0 || jobs < 1 || jobs > 256) {
                    return UsageError("--jobs takes a number from 1 to 256");
                }
                options.jobs = static_cast<unsigned>(jobs);
                break;
            }
            case ':':
                return UsageError(std::string(argv[optind - 1]) + " needs an argument");
            default: {
                // optopt holds a short option's letter; a long option is named by the argument.
                const bool letter = optopt > 0 && optopt < 128;
                return UsageError("unusable option " +
                                  (letter ? std::string("-") + static_cast<char>(optopt)
                                          : std::string(argv[optind - 1])));
            }
        }
    }
    line.inputs.assign(argv + optind, argv + argc);
    if (line.inputs.empty()) {
        return UsageError("no photo or folder given");
    }
    if (line.mode == Mode::Verify && (!options.saveDir.empty() || !options.logFile.empty())) {
        return UsageError("--verify takes neither --save nor --log");
    }
    if (std::count(line.inputs.begin(), line.inputs.end(), std::string(kStandardInputName)) > 1) {
        return UsageError("standard input (-) can be read only once");
    }
    for (const auto& [option, folder] : {std::pair<const char*, const std::string&>{
                                             "--save", options.saveDir},
                                         {"--annotate", options.annotateDir}}) {
        std::error_code ec;
        if (folder.empty() || std::filesystem::is_directory(PathFromUtf8(folder), ec)) {
            continue;
        }
        const bool exists =
            std::filesystem::exists(std::filesystem::symlink_status(PathFromUtf8(folder), ec));
        return UsageError(std::string(option) + ": " + QuoteFileName(folder) +
                          (exists ? " is not a folder" : " does not exist; create it first"));
    }
    return 0;
}

int RunAudit(CommandLine& line) {
    BatchOptions& options = line.options;
    std::error_code ec;
    // The bar only makes sense for a person watching more than one photo go by.
    options.progress =
        isatty(STDERR_FILENO) != 0 &&
        (line.inputs.size() > 1 || std::filesystem::is_directory(PathFromUtf8(line.inputs[0]), ec));

    HandleStopRequests(g_signal);
    const BatchSummary summary = RunBatch(line.inputs, options, stdout, stderr, &g_signal);
    if (summary.brokenPipe && summary.stopSignal == 0) {
        return EndForClosedOutput();
    }
    if (!summary.noCascade && !summary.logUnopened) {
        std::fprintf(stderr, "%s%s\n", summary.photos == 0 ? "vetrix-audit: " : "",
                     SummaryText(summary).c_str());
    }
    return ExitStatus(summary);
}

int RunVerification(const CommandLine& line) {
    HandleStopRequests(g_signal);
    const VerifySummary summary = RunVerify(
        line.inputs, VerifyRunOptions{line.options.json, line.options.cascadeFile}, stdout,
        &g_signal);
    if (summary.noCascade) {
        std::fprintf(stderr, "vetrix-audit: no face cascade could be loaded\n");
        return 2;
    }
    if (summary.stopSignal != 0) {
        return 128 + summary.stopSignal;
    }
    if (summary.outputFailed) {
        return 3;
    }
    return summary.verified == summary.files && summary.unreadable == 0 ? 0 : 1;
}

int Show(const std::string& text) {
    if (std::fputs(text.c_str(), stdout) == EOF || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "vetrix-audit: cannot write to the output: %s\n",
                     std::generic_category().message(errno).c_str());
        return 3;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything opens a file: a closed standard descriptor must not be handed to a saved
    // photo or the log, where stray messages would land.
    if (!OpenClosedStandardDescriptors()) {
        return 2;
    }
    UseBinaryUtf8StandardStreams();
    // getopt takes the arguments as they came, in UTF-8 on every system.
    std::vector<std::string> arguments = CommandLineArguments(argc, argv);
    std::vector<char*> pointers;
    for (std::string& argument : arguments) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    CommandLine line;
    if (const int status =
            ParseCommandLine(static_cast<int>(arguments.size()), pointers.data(), line);
        status != 0) {
        return status;
    }
    switch (line.mode) {
        case Mode::Help: return Show(UsageText());
        case Mode::Version: return Show(std::string("vetrix-audit ") + kVetrixVersion + "\n");
        case Mode::Audit: return RunAudit(line);
        case Mode::Verify: return RunVerification(line);
    }
    return 2;
}
