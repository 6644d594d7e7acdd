#include "cli/Batch.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include <sys/stat.h>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include "engine/Annotate.h"
#include "engine/AuditJson.h"
#include "engine/Export.h"
#include "engine/PhotoAudit.h"
#include "log/Log.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// What one worker found for one input, kept until its turn in the output comes.
struct Outcome {
    std::string photo;
    std::string error;      // set when the input could not be audited: no verdict then
    int state = Idle;
    std::string record;     // the text line or JSON members, without what saving adds
    std::string logLine;
    std::vector<std::string> warnings;    // the decoder's complaints about the photo
    std::vector<std::uint8_t> saveBytes;  // the saved file's bytes, for passed photos
    std::vector<std::uint8_t> annotation;  // the annotated copy as PNG, with --annotate
};

Outcome Failed(const std::string& photo, const std::string& error) {
    Outcome outcome;
    outcome.photo = photo;
    outcome.error = error;
    return outcome;
}

// Where a passed photo went, or why it did not.
std::string Duration(double seconds) {
    const long s = static_cast<long>(seconds + 0.5);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

// The error stream, shared by the progress bar and messages. A message first clears the bar
// and then draws it again, so that no text ever lands inside it.
class Status {
public:
    Status(std::FILE* err, bool bar) : err_(err), bar_(bar) {}

    void Message(const std::string& text) {
        Clear();
        std::fprintf(err_, "vetrix-audit: %s\n", text.c_str());
        Draw();
    }

    void Progress(std::size_t done, std::size_t total, double elapsed) {
        done_ = done;
        total_ = total;
        elapsed_ = elapsed;
        Clear();
        Draw();
    }

    void Clear() {
        if (bar_ && drawn_) {
            std::fputs("\r\033[K", err_);
            drawn_ = false;
        }
    }

private:
    void Draw() {
        if (!bar_ || total_ == 0) {
            std::fflush(err_);
            return;
        }
        constexpr int kWidth = 30;
        const double share = static_cast<double>(done_) / static_cast<double>(total_);
        const int filled = std::min(kWidth, static_cast<int>(share * kWidth));
        const double rate = elapsed_ > 0 ? static_cast<double>(done_) / elapsed_ : 0;
        const std::string left =
            rate > 0 ? Duration(static_cast<double>(total_ - done_) / rate) : "?";
        std::fprintf(err_, "[%s%s] %zu/%zu  %.1f photos/s  %s left",
                     std::string(static_cast<std::size_t>(filled), '#').c_str(),
                     std::string(static_cast<std::size_t>(kWidth - filled), '.').c_str(), done_,
                     total_, rate, left.c_str());
        std::fflush(err_);
        drawn_ = true;
    }

    std::FILE* err_;
    bool bar_;
    bool drawn_ = false;
    std::size_t done_ = 0;
    std::size_t total_ = 0;
    double elapsed_ = 0;
};

// The files a save must never replace: every file named or found as an input, by identity, and
// everything inside a folder named as an input.
class InputSet {
public:
    explicit InputSet(const std::vector<std::string>& arguments) {
        for (const std::string& argument : arguments) {
            std::error_code ec;
            if (fs::is_directory(fs::status(argument, ec))) {
                folders_.push_back(fs::weakly_canonical(argument, ec));
            } else {
                Add(argument);
                named_.insert(fs::weakly_canonical(argument, ec).string());
            }
        }
    }

    // True for a path named as an input file, whether or not it exists yet.
    bool IsNamed(const std::string& path) const {
        std::error_code ec;
        return named_.count(fs::weakly_canonical(path, ec).string()) != 0;
    }

    void Add(const std::string& path) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) {
            files_.emplace(st.st_dev, st.st_ino);
        }
        if (::lstat(path.c_str(), &st) == 0) {
            files_.emplace(st.st_dev, st.st_ino);
        }
    }

    bool Contains(const std::string& path) const {
        struct stat st {};
        if ((::lstat(path.c_str(), &st) == 0 && files_.count({st.st_dev, st.st_ino}) != 0) ||
            (::stat(path.c_str(), &st) == 0 && files_.count({st.st_dev, st.st_ino}) != 0)) {
            return true;
        }
        std::error_code ec;
        const fs::path folder = fs::weakly_canonical(fs::absolute(path).parent_path(), ec);
        if (ec) {
            return true;  // cannot tell, so treat it as an input
        }
        for (const fs::path& input : folders_) {
            const auto [inputEnd, unused] =
                std::mismatch(input.begin(), input.end(), folder.begin(), folder.end());
            if (inputEnd == input.end()) {
                return true;
            }
        }
        return false;
    }

private:
    std::vector<fs::path> folders_;
    std::set<std::pair<dev_t, ino_t>> files_;
    std::set<std::string> named_;
};

// Saves a passed photo as DIR/<stem>.jpg, or DIR/<stem>-N.jpg with the smallest N whose name
// this run has not used and that does not exist yet (with `overwrite`: that is not an input).
// An annotated copy is saved in the same way with the extension ".png".
SaveNote SavePhoto(const std::string& dir, const std::string& photo,
                   const std::vector<std::uint8_t>& bytes, bool overwrite, const InputSet& inputs,
                   std::set<std::string>& used, const std::string& extension = ".jpg") {
    if (bytes.empty()) {
        return {"", extension == ".jpg" ? "照片无法编码为 JPEG" : "cannot encode " + extension};
    }
    const std::string stem = fs::path(photo).stem().string();
    for (int n = 1; n < 100000; ++n) {
        const std::string name =
            n == 1 ? stem + extension : stem + "-" + std::to_string(n) + extension;
        if (!used.insert(name).second) {
            continue;
        }
        const std::string path = (fs::path(dir) / name).string();
        if (inputs.IsNamed(path)) {
            continue;  // an input still to come must be audited as the user has it
        }
        ExistingTarget existing = ExistingTarget::Keep;
        struct stat st {};
        if (overwrite && ::lstat(path.c_str(), &st) == 0 &&
            (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) && !inputs.Contains(path)) {
            existing = ExistingTarget::Replace;
        }
        const WriteResult written = WriteFileAtomically(bytes, path, existing);
        if (written.exists) {
            continue;
        }
        return written.ok ? SaveNote{path, ""} : SaveNote{"", written.error};
    }
    return {"", "没有可用的文件名"};
}

std::string ErrorRecord(const std::string& photo, const std::string& error, bool json) {
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

// A verdict's record: the text line, or the JSON object without its closing brace.
std::string VerdictRecord(const std::string& photo, const CPhotoAudit& audit, bool json) {
    if (json) {
        std::string object = AuditJson(photo, audit);
        object.pop_back();
        return object;
    }
    return QuoteFileName(photo) + '\t' + ResultStateName(audit.m_nState) + '\t' +
           ResultMessage(audit.m_nState);
}

std::string FinishRecord(const Outcome& outcome, const std::optional<SaveNote>& save, bool json,
                         const std::optional<SaveNote>& annotated = std::nullopt) {
    if (!outcome.error.empty()) {
        return ErrorRecord(outcome.photo, outcome.error, json);
    }
    std::string line = outcome.record;
    if (json) {
        // Only for a photo the decoder complained about, so that a clean photo's object stays
        // exactly the audit's own.
        if (!outcome.warnings.empty()) {
            line += ", \"warnings\": [";
            for (std::size_t i = 0; i < outcome.warnings.size(); ++i) {
                line += (i > 0 ? ", " : "") + JsonString(outcome.warnings[i]);
            }
            line += "]";
        }
        if (annotated) {
            line += ", \"annotated\": " +
                    (annotated->path.empty() ? "null" : JsonString(annotated->path));
        }
        if (save) {
            line += ", \"saved\": " + (save->path.empty() ? "null" : JsonString(save->path));
            if (!save->reason.empty()) {
                line += ", \"save_error\": " + JsonString(save->reason);
            }
        }
        return line + "}";
    }
    if (save && outcome.state == Passed) {
        line += save->path.empty() ? "\tnot saved: " + save->reason
                                   : "\tsaved: " + QuoteFileName(save->path);
    }
    return line;
}

// The photo with what its audit found drawn on it, as PNG; empty when it does not decode.
std::vector<std::uint8_t> AnnotationBytes(const std::string& path, const CPhotoAudit& audit) {
    const DecodedPhoto decoded = ReadPhoto(path, audit.m_nMaxPixels);
    std::vector<std::uint8_t> png;
    const cv::Mat drawn = AnnotatePhoto(decoded.image, audit.m_details);
    if (!drawn.empty() && !cv::imencode(".png", drawn, png)) {
        png.clear();
    }
    return png;
}

// Writes one line and pushes it out; on failure returns the error number.
int WriteLine(std::FILE* out, const std::string& line) {
    errno = 0;
    if (std::fwrite(line.data(), 1, line.size(), out) != line.size() ||
        std::fputc('\n', out) == EOF || std::fflush(out) != 0) {
        const int error = errno != 0 ? errno : EIO;
        std::clearerr(out);
        return error;
    }
    return 0;
}

// The number of inputs, counting no further than `limit`.
std::size_t CountInputs(const std::vector<std::string>& arguments, std::size_t limit,
                        const std::function<bool()>& stopped) {
    PhotoSource counter(arguments);
    std::size_t count = 0;
    while (count < limit && !stopped() && counter.Next()) {
        ++count;
    }
    return count;
}

}  // namespace

std::string PhotoRecord(const std::string& photo, const CPhotoAudit& audit, bool json, bool why,
                        const std::optional<SaveNote>& save) {
    Outcome outcome;
    outcome.photo = photo;
    outcome.state = audit.m_nState;
    outcome.warnings = audit.m_details.warnings;
    outcome.record = VerdictRecord(photo, audit, json);
    if (why && !json) {
        outcome.record += '\t' + WhyReason(audit.m_details.why, audit.m_details.crop);
    }
    return FinishRecord(outcome, save, json);
}

std::string PhotoErrorRecord(const std::string& photo, const std::string& error, bool json) {
    return ErrorRecord(photo, error, json);
}

SaveNote SaveNewPhoto(const std::vector<std::string>& arguments, const std::string& dir,
                      const std::string& photo, const std::vector<std::uint8_t>& bytes,
                      std::set<std::string>& used) {
    return SavePhoto(dir, photo, bytes, false, InputSet(arguments), used);
}

PhotoSource::PhotoSource(std::vector<std::string> arguments) : arguments_(std::move(arguments)) {}

bool PhotoSource::HasPhotoExtension(const std::string& path) {
    std::string ext = fs::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == ".jpg" || ext == ".jpeg" || ext == ".jpe";
}

std::string PhotoSource::Enter(const std::string& folder) {
    Folder listing;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        listing.entries.push_back(it->path().string());
    }
    std::sort(listing.entries.begin(), listing.entries.end());
    stack_.push_back(std::move(listing));
    return ec ? "cannot read folder: " + ec.message() : "";
}

std::optional<PhotoInput> PhotoSource::Next() {
    for (;;) {
        if (!stack_.empty()) {
            Folder& folder = stack_.back();
            if (folder.next == folder.entries.size()) {
                stack_.pop_back();
                continue;
            }
            std::string entry = folder.entries[folder.next++];
            std::error_code ec;
            // Linked folders are not followed, so a link cannot lead the walk in circles.
            const fs::file_status type = fs::symlink_status(entry, ec);
            if (ec && ec != std::errc::no_such_file_or_directory) {
                // Neither photo nor folder can be told (a name too long, say): say so.
                return PhotoInput{entry, "cannot read: " + ec.message()};
            }
            if (fs::is_directory(type)) {
                std::string error = Enter(entry);
                if (!error.empty()) {
                    return PhotoInput{entry, std::move(error)};
                }
            } else if (HasPhotoExtension(entry) && !fs::is_directory(fs::status(entry, ec))) {
                return PhotoInput{entry, ""};
            }
            continue;
        }
        if (nextArgument_ == arguments_.size()) {
            return std::nullopt;
        }
        std::string argument = arguments_[nextArgument_++];
        std::error_code ec;
        const fs::file_status type = fs::status(argument, ec);
        if (fs::is_directory(type)) {
            std::string error = Enter(argument);
            if (!error.empty()) {
                return PhotoInput{argument, std::move(error)};
            }
            continue;
        }
        // A missing file is audited like any other (it does not decode); a name that cannot
        // even be looked up is an error of its own.
        if (ec && ec != std::errc::no_such_file_or_directory &&
            ec != std::errc::not_a_directory) {
            return PhotoInput{argument, "cannot read: " + ec.message()};
        }
        return PhotoInput{argument, ""};
    }
}

BatchSummary RunBatch(const std::vector<std::string>& arguments, const BatchOptions& options,
                      std::FILE* out, std::FILE* err, const std::atomic<int>* stop,
                      const AuditStep& step) {
    BatchSummary summary;
    const auto started = Clock::now();
    std::atomic<bool> halted{false};  // the output failed: nothing more is worth auditing
    const auto stopped = [&] { return halted.load() || (stop != nullptr && stop->load() != 0); };
    Status status(err, options.progress);

    // Photos are audited side by side rather than each spread over the cores: whole photos
    // divide the work more evenly than the detector's own threads do. With fewer photos than
    // jobs, the idle workers' cores go to the detector's threads instead.
    const unsigned jobs = std::max(1u, options.jobs);
    const std::size_t firstInputs = CountInputs(arguments, jobs, stopped);
    const unsigned workers = static_cast<unsigned>(std::max<std::size_t>(1, firstInputs));
    cv::setNumThreads(firstInputs < jobs ? static_cast<int>(jobs) : 1);

    // Every worker gets a classifier of its own: detection is not safe to share between threads.
    std::vector<std::unique_ptr<CommandAudit>> audits;
    for (unsigned i = 0; i < std::min(workers, jobs); ++i) {
        auto audit = std::make_unique<CommandAudit>();
        if (!options.cascadeFile.empty()) {
            audit->m_strCascadeFile = options.cascadeFile;
            audit->m_strSystemCascadeFile.clear();
        }
        audit->m_nMaxPixels = options.maxPixels;
        // A photo's verdict must not depend on which worker took it or what came before.
        audit->m_bRestartRandomState = true;
        if (!audit->LoadFaceCascade()) {
            summary.noCascade = true;
            return summary;
        }
        audits.push_back(std::move(audit));
    }

    CLog log;
    if (!options.logFile.empty() && log.Open(options.logFile.c_str()) == nullptr) {
        const int error = errno;
        summary.logUnopened = true;
        status.Message("cannot open the log " + QuoteFileName(options.logFile) + ": " +
                       std::generic_category().message(error));
        return summary;
    }

    std::size_t total = 0;
    if (options.progress) {
        total = CountInputs(arguments, SIZE_MAX, stopped);
    }

    PhotoSource source(arguments);
    InputSet inputs(arguments);
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::size_t, Outcome> ready;
    std::size_t handedOut = 0;
    std::size_t printed = 0;
    std::size_t running = audits.size();
    bool sourceDone = false;
    // Workers run at most this far ahead of the output. What waits there is only its text and,
    // for passed photos, the saved file's bytes (tens of kilobytes), never a decoded photo; the
    // window is wide enough that one slow photo does not leave the other workers idle.
    // An annotated copy is a whole photo's PNG, so with --annotate the window stays narrow.
    const std::size_t window = options.annotateDir.empty()
                                   ? std::max<std::size_t>(64, 16 * static_cast<std::size_t>(jobs))
                                   : 2 * static_cast<std::size_t>(jobs) + 2;

    auto work = [&](CommandAudit& audit) {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] {
                return sourceDone || stopped() || handedOut < printed + window;
            });
            if (sourceDone || stopped()) {
                break;
            }
            std::optional<PhotoInput> input = source.Next();
            if (!input) {
                sourceDone = true;
                changed.notify_all();
                break;
            }
            if (input->error.empty() && options.overwrite) {
                inputs.Add(input->path);
            }
            const std::size_t index = handedOut++;
            lock.unlock();

            Outcome outcome;
            outcome.photo = input->path;
            outcome.error = input->error;
            if (outcome.error.empty()) {
                try {
                    const std::string name =
                        QuoteFileName(fs::path(input->path).filename().string());
                    if (step) {
                        step(audit, input->path, name);
                    } else {
                        audit.AuditFile(input->path, name);
                    }
                    outcome.state = audit.m_nState;
                    outcome.logLine = std::move(audit.verdictLine);
                    outcome.warnings = audit.m_details.warnings;
                    outcome.record = VerdictRecord(input->path, audit, options.json);
                    if (options.why && !options.json) {
                        outcome.record +=
                            '\t' + WhyReason(audit.m_details.why, audit.m_details.crop);
                    }
                    if (outcome.state == Passed && !options.saveDir.empty()) {
                        outcome.saveBytes = EncodeApprovedPhoto(audit.m_matResult);
                    }
                    if (!options.annotateDir.empty()) {
                        outcome.annotation = AnnotationBytes(input->path, audit);
                    }
                } catch (const std::exception& e) {
                    outcome = Failed(input->path, std::string("audit failed: ") + e.what());
                } catch (...) {
                    outcome = Failed(input->path, "audit failed");
                }
            }

            lock.lock();
            ready.emplace(index, std::move(outcome));
            changed.notify_all();
        }
        --running;
        changed.notify_all();
    };

    std::vector<std::thread> threads;
    for (auto& audit : audits) {
        threads.emplace_back(work, std::ref(*audit));
    }

    std::set<std::string> savedNames;
    std::set<std::string> annotatedNames;
    std::unique_lock lock(mutex);
    for (;;) {
        changed.wait_for(lock, std::chrono::milliseconds(100), [&] {
            return ready.count(printed) != 0 || running == 0;
        });
        if (stopped()) {
            changed.notify_all();  // idle workers look at the stop flag
        }
        while (ready.count(printed) != 0) {
            Outcome outcome = std::move(ready.at(printed));
            ready.erase(printed);
            ++printed;
            changed.notify_all();
            lock.unlock();

            std::optional<SaveNote> save;
            if (!options.saveDir.empty() && outcome.error.empty()) {
                save.emplace();
                if (outcome.state == Passed) {
                    // After a stop, only what was already saved stays: the rest waits for a
                    // run of its own rather than delaying the end.
                    save = stopped() ? SaveNote{"", "interrupted"}
                                     : SavePhoto(options.saveDir, outcome.photo,
                                                 outcome.saveBytes, options.overwrite, inputs,
                                                 savedNames);
                    if (save->path.empty()) {
                        ++summary.saveFailures;
                        status.Message(QuoteFileName(outcome.photo) +
                                       ": not saved: " + save->reason);
                    }
                }
            }
            for (const std::string& warning : outcome.warnings) {
                status.Message(QuoteFileName(outcome.photo) + ": warning: " + warning);
            }
            std::optional<SaveNote> annotated;
            if (!outcome.annotation.empty() && outcome.error.empty()) {
                annotated = stopped() ? SaveNote{"", "interrupted"}
                                      : SavePhoto(options.annotateDir, outcome.photo,
                                                  outcome.annotation, options.overwrite, inputs,
                                                  annotatedNames, ".png");
                if (annotated->path.empty()) {
                    ++summary.saveFailures;
                    status.Message(QuoteFileName(outcome.photo) +
                                   ": annotated copy not written: " + annotated->reason);
                }
            }
            if (!outcome.error.empty()) {
                ++summary.errors;
                status.Message(QuoteFileName(outcome.photo) + ": " + outcome.error);
            }
            if (log.IsOpen() && !outcome.logLine.empty()) {
                log.Print("%s", outcome.logLine.c_str());
                if (log.Failed() && !summary.logFailed) {
                    summary.logFailed = true;
                    status.Message("cannot write to the log " + QuoteFileName(options.logFile) +
                                   "; its later entries are lost");
                }
            }
            status.Clear();
            const int error =
                WriteLine(out, FinishRecord(outcome, save, options.json, annotated));
            if (error != 0) {
                halted.store(true);
                if (error == EPIPE) {
                    summary.brokenPipe = true;
                } else if (!summary.outputFailed) {
                    summary.outputFailed = true;
                    status.Message("cannot write to the output: " +
                                   std::generic_category().message(error));
                }
            } else {
                ++summary.photos;
                if (outcome.error.empty()) {
                    ++summary.counts[static_cast<std::size_t>(outcome.state)];
                }
            }
            const std::chrono::duration<double> elapsed = Clock::now() - started;
            status.Progress(summary.photos, std::max(total, summary.photos), elapsed.count());
            lock.lock();
        }
        if (running == 0 && ready.empty()) {
            break;
        }
    }
    lock.unlock();
    for (auto& thread : threads) {
        thread.join();
    }
    if (log.IsOpen()) {
        log.Close();
        if (log.Failed() && !summary.logFailed) {
            summary.logFailed = true;
            status.Message("cannot write to the log " + QuoteFileName(options.logFile));
        }
    }

    status.Clear();
    summary.stopSignal = stop != nullptr ? stop->load() : 0;
    const std::chrono::duration<double> elapsed = Clock::now() - started;
    summary.seconds = elapsed.count();
    return summary;
}

std::string SummaryText(const BatchSummary& summary) {
    char head[96];
    std::snprintf(head, sizeof head, "%zu photo%s in %.1f s%s:", summary.photos,
                  summary.photos == 1 ? "" : "s", summary.seconds,
                  summary.stopSignal != 0 ? " (interrupted)" : "");
    std::string text = head;
    const int order[] = {Passed, BadFormat, NoSinglePortrait, BadSize, BadBackground,
                         BadProportion};
    for (const int state : order) {
        text += ' ' + std::string(ResultStateName(state)) + ' ' +
                std::to_string(summary.counts[state]) + (state == BadProportion ? "" : ",");
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
    const bool allPassed = summary.counts[Passed] == summary.photos;
    return allPassed && summary.saveFailures == 0 && summary.errors == 0 ? 0 : 1;
}
