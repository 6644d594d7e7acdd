// vetrix-audit: audits portrait photos from the command line with the same verdict ladder as the
// window, and optionally saves the normalised photos of those that pass.

#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "engine/Export.h"
#include "engine/PhotoAudit.h"
#include "log/Log.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kUsage =
    "Usage: vetrix-audit [--json] [--save DIR] [--log FILE] PHOTO...\n"
    "\n"
    "Audits each PHOTO as the Vetrix window does: it must decode, show one face (or two, of\n"
    "which the wider counts), be at least 30720 bytes and 215 x 300 pixels, stand before a plain\n"
    "red, blue or white background, and frame as a portrait.\n"
    "\n"
    "Output: one line per photo, in the order given: the file, the verdict and its message,\n"
    "separated by tabs. Verdicts: Passed, BadFormat, NoSinglePortrait, BadSize, BadBackground,\n"
    "BadProportion.\n"
    "\n"
    "Options:\n"
    "  --json       print one JSON object per photo instead, with the keys file, code, state,\n"
    "               message, faces (every detection as [x, y, w, h], top to bottom, then left\n"
    "               to right), face (the chosen one, or null), crop ([x, y, w, h] cut from the\n"
    "               scaled photo, or null), scale (or null) and size ([w, h] of the normalised\n"
    "               photo, or null)\n"
    "  --save DIR   write each passed photo to DIR/<name>.jpg exactly as the window saves it\n"
    "               (JPEG quality 50 and the Vetrix trailer); a name already written in this\n"
    "               run gets a numbered suffix instead of being overwritten\n"
    "  --log FILE   append the verdict lines to FILE in the run-log format\n"
    "  --help       show this text\n"
    "\n"
    "The face cascade haarcascade_frontalface_alt2.xml is taken from the working directory,\n"
    "else from OpenCV's installed data.\n"
    "\n"
    "Exit status: 0 when every photo passed (and every save succeeded), 1 when any was\n"
    "rejected or could not be saved, 2 for a usage error or when no face cascade loads.\n";

struct Options {
    bool json = false;
    std::string saveDir;
    std::string logFile;
    std::vector<std::string> photos;
};

// The command has no window: log lines go to the optional log file, the button and repaint
// requests have nothing to act on.
class CommandAudit : public CPhotoAudit {
public:
    explicit CommandAudit(CLog* log) : log_(log) {}

protected:
    void WriteVerdictLine(const std::string& line) override {
        if (log_ != nullptr) {
            log_->Print("%s", line.c_str());
        }
    }
    void ShowSaveButton(bool) override {}
    void RequestRepaint() override {}

private:
    CLog* log_;
};

int UsageError(const char* message) {
    std::fprintf(stderr, "vetrix-audit: %s\nTry 'vetrix-audit --help'.\n", message);
    return 2;
}

void AppendJsonString(std::string& out, const std::string& text) {
    out += '"';
    for (const char ch : ToValidUtf8(text)) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
}

void AppendRect(std::string& out, const cv::Rect& r) {
    out += '[' + std::to_string(r.x) + ", " + std::to_string(r.y) + ", " +
           std::to_string(r.width) + ", " + std::to_string(r.height) + ']';
}

// The shortest text that reads back as the same double, always with a decimal point or
// exponent, so that 1 prints as 1.0.
void AppendDouble(std::string& out, double v) {
    char buf[64];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    std::string text(buf, ec == std::errc() ? end : buf);
    if (text.find_first_of(".en") == std::string::npos) {
        text += ".0";
    }
    out += text;
}

std::string JsonLine(const std::string& file, const CPhotoAudit& audit) {
    const AuditDetails& d = audit.m_details;
    std::string out = "{\"file\": ";
    AppendJsonString(out, file);
    out += ", \"code\": " + std::to_string(audit.m_nState) + ", \"state\": ";
    AppendJsonString(out, ResultStateName(audit.m_nState));
    out += ", \"message\": ";
    AppendJsonString(out, ResultMessage(audit.m_nState));
    out += ", \"faces\": [";
    for (std::size_t i = 0; i < d.faces.size(); ++i) {
        if (i > 0) {
            out += ", ";
        }
        AppendRect(out, d.faces[i]);
    }
    out += "], \"face\": ";
    if (d.face) {
        AppendRect(out, *d.face);
    } else {
        out += "null";
    }
    if (d.crop) {
        out += ", \"crop\": ";
        AppendRect(out, d.crop->sub);
        out += ", \"scale\": ";
        AppendDouble(out, d.crop->f);
        out += ", \"size\": [" + std::to_string(d.crop->tW) + ", " + std::to_string(d.crop->tH) +
               "]}";
    } else {
        out += ", \"crop\": null, \"scale\": null, \"size\": null}";
    }
    return out;
}

std::string TextLine(const std::string& file, const CPhotoAudit& audit) {
    return ToValidUtf8(file) + '\t' + ResultStateName(audit.m_nState) + '\t' +
           ResultMessage(audit.m_nState);
}

// DIR/<stem>.jpg, or DIR/<stem>-N.jpg when this run has already written that name.
std::string SaveTarget(const std::string& dir, const std::string& photo,
                       std::set<std::string>& used) {
    const std::string stem = fs::path(photo).stem().string();
    std::string name = stem + ".jpg";
    for (int n = 2; used.count(name) != 0; ++n) {
        name = stem + "-" + std::to_string(n) + ".jpg";
    }
    used.insert(name);
    return (fs::path(dir) / name).string();
}

bool ParseArguments(int argc, char** argv, Options& options, int& exitCode) {
    bool onlyFiles = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (onlyFiles || arg.empty() || arg[0] != '-' || arg == "-") {
            options.photos.push_back(arg);
        } else if (arg == "--") {
            onlyFiles = true;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            exitCode = 0;
            return false;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--save" || arg == "--log") {
            if (i + 1 >= argc) {
                exitCode = UsageError((arg + " needs an argument").c_str());
                return false;
            }
            (arg == "--save" ? options.saveDir : options.logFile) = argv[++i];
        } else {
            exitCode = UsageError(("unknown option " + arg).c_str());
            return false;
        }
    }
    if (options.photos.empty()) {
        exitCode = UsageError("no photo given");
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    int exitCode = 0;
    if (!ParseArguments(argc, argv, options, exitCode)) {
        return exitCode;
    }
    if (!options.saveDir.empty()) {
        std::error_code ec;
        if (!fs::is_directory(options.saveDir, ec)) {
            return UsageError(("--save: not a folder: " + options.saveDir).c_str());
        }
    }
    CLog log;
    if (!options.logFile.empty() && log.Open(options.logFile.c_str()) == nullptr) {
        return UsageError(("--log: cannot open " + options.logFile).c_str());
    }

    CommandAudit audit(options.logFile.empty() ? nullptr : &log);
    if (!audit.LoadFaceCascade()) {
        std::fprintf(stderr, "vetrix-audit: no face cascade could be loaded (%s)\n",
                     audit.m_strCascadeFile.c_str());
        return 2;
    }

    std::set<std::string> savedNames;
    for (const std::string& photo : options.photos) {
        audit.AuditFile(photo, DisplayFileName(photo));
        const std::string line = options.json ? JsonLine(photo, audit) : TextLine(photo, audit);
        std::fprintf(stdout, "%s\n", line.c_str());
        std::fflush(stdout);
        if (audit.m_nState != Passed) {
            exitCode = 1;
            continue;
        }
        if (!options.saveDir.empty()) {
            const std::string target = SaveTarget(options.saveDir, photo, savedNames);
            const WriteResult saved = WriteApprovedPhoto(audit.m_matResult, target);
            if (!saved.ok) {
                std::fprintf(stderr, "vetrix-audit: %s: %s\n", ToValidUtf8(target).c_str(),
                             saved.error.c_str());
                exitCode = 1;
            }
        }
    }
    return exitCode;
}
