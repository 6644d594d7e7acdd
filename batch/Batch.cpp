#include "batch/Batch.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include "engine/Annotate.h"
#include "engine/AuditJson.h"
#include "engine/Export.h"
#include "log/Log.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// What one worker found for one input, kept until its turn in the output comes.
struct Outcome {
    std::string photo;
    std::string error;  // set when the input could not be audited: no verdict then
    int state = Idle;
    AuditDetails details;
    std::string logLine;
    std::vector<std::uint8_t> saveBytes;   // the saved file's bytes, for passed photos
    std::vector<std::uint8_t> annotation;  // the annotated copy as PNG, with --annotate
};

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
    Status(std::FILE* err, bool bar, std::string program)
        : err_(err), bar_(bar), program_(std::move(program)) {}

    void Message(const std::string& text) {
        Clear();
        std::fprintf(err_, "%s: %s\n", program_.c_str(), text.c_str());
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
    std::string program_;
    bool drawn_ = false;
    std::size_t done_ = 0;
    std::size_t total_ = 0;
    double elapsed_ = 0;
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
    const std::string stem = photo == kStandardInputName ? std::string("stdin")
                                                         : Utf8FromPath(PathFromUtf8(photo).stem());
    for (int n = 1; n < 100000; ++n) {
        const std::string name =
            n == 1 ? stem + extension : stem + "-" + std::to_string(n) + extension;
        if (!used.insert(name).second) {
            continue;
        }
        const std::string path = Utf8FromPath(PathFromUtf8(dir) / PathFromUtf8(name));
        if (inputs.IsNamed(path)) {
            continue;  // an input still to come must be audited as the user has it
        }
        ExistingTarget existing = ExistingTarget::Keep;
        std::error_code ec;
        const fs::file_status type = fs::symlink_status(PathFromUtf8(path), ec);
        if (overwrite && !ec && (fs::is_regular_file(type) || fs::is_symlink(type)) &&
            !inputs.Contains(path)) {
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


// The photo with what its audit found drawn on it, as PNG; empty when it does not decode.
std::vector<std::uint8_t> AnnotationBytes(std::span<const std::uint8_t> bytes,
                                          const AuditDetails& details, std::uint64_t maxPixels) {
    const DecodedPhoto decoded = DecodePhotoBytes(bytes, maxPixels);
    std::vector<std::uint8_t> png;
    const cv::Mat drawn = AnnotatePhoto(decoded.image, details);
    if (!drawn.empty() && !cv::imencode(".png", drawn, png)) {
        png.clear();
    }
    return png;
}

// Loads the cascade a run names, or the usual one; the names tried when none loads.
std::string LoadCascade(const BatchOptions& options, cv::CascadeClassifier& cascade) {
    const std::string primary =
        options.cascadeFile.empty() ? "haarcascade_frontalface_alt2.xml" : options.cascadeFile;
    const std::string fallback = options.cascadeFile.empty() ? options.systemCascadeFile : "";
    for (const std::string& candidate : {primary, fallback}) {
        std::error_code ec;
        if (candidate.empty() || !fs::is_regular_file(PathFromUtf8(candidate), ec)) {
            continue;
        }
        try {
            if (LoadFaceCascadeFile(cascade, candidate)) {
                return {};
            }
        } catch (const std::exception&) {
            // A damaged cascade is as good as a missing one.
        }
    }
    return fallback.empty() ? QuoteFileName(primary)
                            : QuoteFileName(primary) + " or " + QuoteFileName(fallback);
}

// Reads and audits one input on a worker's cascade. Never throws: a failure becomes the
// photo's error.
Outcome AuditInput(const PhotoInput& input, cv::CascadeClassifier& cascade,
                   const BatchOptions& options, const AuditStep& step) {
    Outcome outcome;
    outcome.photo = input.path;
    outcome.error = input.error;
    if (!outcome.error.empty()) {
        return outcome;
    }
    try {
        const FileBytes file = input.path == kStandardInputName
                                   ? ReadDescriptorBytes(0, kMaxPhotoFileBytes)
                                   : ReadFileBytes(input.path, kMaxPhotoFileBytes);
        AuditOptions auditOptions;
        auditOptions.maxPixels = options.maxPixels;
        const FaceFinder faces = CascadeFaceFinder(cascade);
        FileAudit audit = step ? step(input.path, file, faces, auditOptions)
                               : AuditReadFile(file, faces, auditOptions);
        if (audit.error) {
            outcome.error = "cannot read: " + audit.error.message();
            return outcome;
        }
        AuditResult& result = audit.result;
        outcome.state = result.state;
        const std::string name =
            input.path == kStandardInputName
                ? input.path
                : QuoteFileName(Utf8FromPath(PathFromUtf8(input.path).filename()));
        outcome.logLine = VerdictLogLine(name, result.state);
        if (result.state == Passed && !options.saveDir.empty()) {
            outcome.saveBytes = EncodeApprovedPhoto(result.normalised);
        }
        if (!options.annotateDir.empty()) {
            outcome.annotation = AnnotationBytes(file.bytes, result.details, options.maxPixels);
        }
        outcome.details = std::move(result.details);
    } catch (const std::exception& e) {
        Outcome failed;
        failed.photo = input.path;
        failed.error = std::string("audit failed: ") + e.what();
        return failed;
    } catch (...) {
        Outcome failed;
        failed.photo = input.path;
        failed.error = "audit failed";
        return failed;
    }
    return outcome;
}

// Saves, logs and prints the outcomes in the order they are handed in, and counts them.
class Emitter {
public:
    Emitter(const BatchOptions& options, const InputSet& inputs, CLog& log, Status& status,
            std::FILE* out, BatchSummary& summary, std::function<bool()> stopped,
            std::function<void()> halt)
        : options_(options),
          inputs_(inputs),
          log_(log),
          status_(status),
          out_(out),
          summary_(summary),
          stopped_(std::move(stopped)),
          halt_(std::move(halt)),
          started_(Clock::now()) {}

    void SetTotal(std::size_t total) { total_ = total; }

    void Emit(const Outcome& outcome) {
        std::optional<SaveNote> save;
        if (!options_.saveDir.empty() && outcome.error.empty()) {
            save.emplace();
            if (outcome.state == Passed) {
                // After a stop, only what was already saved stays: the rest waits for a run of
                // its own rather than delaying the end.
                save = stopped_() ? SaveNote{"", "interrupted"}
                                  : SavePhoto(options_.saveDir, outcome.photo, outcome.saveBytes,
                                              options_.overwrite, inputs_, savedNames_);
                if (save->path.empty()) {
                    ++summary_.saveFailures;
                    status_.Message(QuoteFileName(outcome.photo) + ": not saved: " + save->reason);
                }
            }
        }
        for (const std::string& warning : outcome.details.warnings) {
            status_.Message(QuoteFileName(outcome.photo) + ": warning: " + warning);
        }
        std::optional<SaveNote> annotated;
        if (!outcome.annotation.empty() && outcome.error.empty()) {
            annotated = stopped_() ? SaveNote{"", "interrupted"}
                                   : SavePhoto(options_.annotateDir, outcome.photo,
                                               outcome.annotation, options_.overwrite, inputs_,
                                               annotatedNames_, ".png");
            if (annotated->path.empty()) {
                ++summary_.saveFailures;
                status_.Message(QuoteFileName(outcome.photo) +
                                ": annotated copy not written: " + annotated->reason);
            }
        }
        if (!outcome.error.empty()) {
            ++summary_.errors;
            status_.Message(QuoteFileName(outcome.photo) + ": " + outcome.error);
        }
        if (log_.IsOpen() && !outcome.logLine.empty()) {
            log_.Print("%s", outcome.logLine.c_str());
            if (log_.Failed() && !summary_.logFailed) {
                summary_.logFailed = true;
                status_.Message("cannot write to the log " + QuoteFileName(options_.logFile) +
                                "; its later entries are lost");
            }
        }
        status_.Clear();
        const std::string record =
            outcome.error.empty()
                ? PhotoRecord(outcome.photo, outcome.state, outcome.details, options_.json,
                              options_.why, save, annotated)
                : PhotoErrorRecord(outcome.photo, outcome.error, options_.json);
        const int error = WriteLine(out_, record);
        if (error != 0) {
            halt_();
            if (error == EPIPE) {
                summary_.brokenPipe = true;
            } else if (!summary_.outputFailed) {
                summary_.outputFailed = true;
                status_.Message("cannot write to the output: " +
                                std::generic_category().message(error));
            }
        } else {
            ++summary_.photos;
            if (outcome.error.empty()) {
                ++summary_.counts[static_cast<std::size_t>(outcome.state)];
            }
        }
        const std::chrono::duration<double> elapsed = Clock::now() - started_;
        status_.Progress(summary_.photos, std::max(total_, summary_.photos), elapsed.count());
    }

private:
    const BatchOptions& options_;
    const InputSet& inputs_;
    CLog& log_;
    Status& status_;
    std::FILE* out_;
    BatchSummary& summary_;
    std::function<bool()> stopped_;
    std::function<void()> halt_;
    Clock::time_point started_;
    std::size_t total_ = 0;
    std::set<std::string> savedNames_;
    std::set<std::string> annotatedNames_;
};

using AuditOne = std::function<Outcome(const PhotoInput&, cv::CascadeClassifier&)>;

// Hands the inputs of `source` out to one worker per cascade and passes each outcome to `emit`
// in input order. Workers run at most `window` inputs ahead of the output. With one cascade the
// inputs are audited on the calling thread, one after the other.
void RunInOrder(PhotoSource& source, std::vector<std::unique_ptr<cv::CascadeClassifier>>& cascades,
                std::size_t window, const std::function<bool()>& stopped, const AuditOne& audit,
                const std::function<void(const PhotoInput&)>& handedOut,
                const std::function<void(const Outcome&)>& emit) {
    if (cascades.size() == 1) {
        while (!stopped()) {
            const std::optional<PhotoInput> input = source.Next();
            if (!input) {
                break;
            }
            handedOut(*input);
            emit(audit(*input, *cascades.front()));
        }
        return;
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::size_t, Outcome> ready;
    std::size_t handed = 0;
    std::size_t printed = 0;
    std::size_t running = cascades.size();
    bool sourceDone = false;

    auto work = [&](cv::CascadeClassifier& cascade) {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] {
                return sourceDone || stopped() || handed < printed + window;
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
            handedOut(*input);
            const std::size_t index = handed++;
            lock.unlock();
            Outcome outcome = audit(*input, cascade);
            lock.lock();
            ready.emplace(index, std::move(outcome));
            changed.notify_all();
        }
        --running;
        changed.notify_all();
    };

    std::vector<std::thread> threads;
    for (auto& cascade : cascades) {
        threads.emplace_back(work, std::ref(*cascade));
    }
    std::unique_lock lock(mutex);
    for (;;) {
        // Woken by a finished photo, or every so often to look at the stop flag.
        changed.wait_for(lock, std::chrono::milliseconds(100),
                         [&] { return ready.count(printed) != 0 || running == 0; });
        if (stopped()) {
            changed.notify_all();  // idle workers look at the stop flag
        }
        while (ready.count(printed) != 0) {
            const Outcome outcome = std::move(ready.at(printed));
            ready.erase(printed);
            ++printed;
            changed.notify_all();
            lock.unlock();
            emit(outcome);
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
}

}  // namespace

BatchSummary RunBatch(const std::vector<std::string>& arguments, const BatchOptions& options,
                      std::FILE* out, std::FILE* err, const std::atomic<int>* stop,
                      const AuditStep& step) {
    BatchSummary summary;
    const auto started = Clock::now();
    std::atomic<bool> halted{false};  // the output failed: nothing more is worth auditing
    const auto stopped = [&] { return halted.load() || (stop != nullptr && stop->load() != 0); };
    Status status(err, options.progress, options.program);

    // Photos are audited side by side rather than each spread over the cores: whole photos
    // divide the work more evenly than the detector's own threads do. With fewer photos than
    // jobs, the idle workers' cores go to the detector's threads instead.
    const unsigned jobs = std::max(1u, options.jobs);
    const std::size_t firstInputs = CountInputs(arguments, jobs, stopped);
    const std::size_t workers = std::max<std::size_t>(1, std::min<std::size_t>(firstInputs, jobs));
    cv::setNumThreads(firstInputs < jobs ? static_cast<int>(jobs) : 1);

    // Every worker gets a classifier of its own: detection is not safe to share between threads.
    std::vector<std::unique_ptr<cv::CascadeClassifier>> cascades;
    for (std::size_t i = 0; i < workers; ++i) {
        auto cascade = std::make_unique<cv::CascadeClassifier>();
        if (const std::string tried = LoadCascade(options, *cascade); !tried.empty()) {
            summary.noCascade = true;
            status.Message("no face cascade could be loaded from " + tried);
            return summary;
        }
        cascades.push_back(std::move(cascade));
    }

    CLog log;
    if (!options.logFile.empty() && log.Open(options.logFile.c_str()) == nullptr) {
        const int error = errno;
        summary.logUnopened = true;
        status.Message("cannot open the log " + QuoteFileName(options.logFile) + ": " +
                       std::generic_category().message(error));
        return summary;
    }

    InputSet inputs(arguments);
    Emitter emitter(options, inputs, log, status, out, summary, stopped,
                    [&] { halted.store(true); });
    if (options.progress) {
        emitter.SetTotal(CountInputs(arguments, SIZE_MAX, stopped));
    }

    PhotoSource source(arguments);
    // What waits for its turn in the output is only its text and, for passed photos, the saved
    // file's bytes (tens of kilobytes), never a decoded photo; the window is wide enough that
    // one slow photo does not leave the other workers idle. An annotated copy is a whole
    // photo's PNG, so with --annotate the window stays narrow.
    const std::size_t window = options.annotateDir.empty()
                                   ? std::max<std::size_t>(64, 16 * static_cast<std::size_t>(jobs))
                                   : 2 * static_cast<std::size_t>(jobs) + 2;
    RunInOrder(
        source, cascades, window, stopped,
        [&](const PhotoInput& input, cv::CascadeClassifier& cascade) {
            return AuditInput(input, cascade, options, step);
        },
        [&](const PhotoInput& input) {
            // An input met in a folder walk is never to be replaced by a save either.
            if (input.error.empty() && options.overwrite) {
                inputs.Add(input.path);
            }
        },
        [&](const Outcome& outcome) { emitter.Emit(outcome); });

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
