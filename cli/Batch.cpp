#include "cli/Batch.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <opencv2/core/utility.hpp>

#include "engine/AuditJson.h"
#include "engine/Export.h"
#include "engine/PhotoAudit.h"
#include "log/Log.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// A worker's audit: the command has no window, so the verdict line is kept for the ordered
// output stage and the button and repaint requests have nothing to act on.
class CommandAudit : public CPhotoAudit {
public:
    std::string verdictLine;

protected:
    void WriteVerdictLine(const std::string& line) override { verdictLine = line; }
    void ShowSaveButton(bool) override {}
    void RequestRepaint() override {}
};

std::string TextLine(const std::string& file, const CPhotoAudit& audit) {
    return ToValidUtf8(file) + '\t' + ResultStateName(audit.m_nState) + '\t' +
           ResultMessage(audit.m_nState);
}

// What one worker found for one photo, kept until the photo's turn in the output comes.
struct Outcome {
    std::string photo;
    std::string line;
    std::string logLine;
    int state = Idle;
    std::vector<std::uint8_t> saveBytes;  // the saved file's bytes, for passed photos
};

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

std::string Duration(double seconds) {
    const long s = static_cast<long>(seconds + 0.5);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

void DrawProgress(std::FILE* err, std::size_t done, std::size_t total, double elapsed) {
    constexpr int kWidth = 30;
    const double share = total > 0 ? static_cast<double>(done) / total : 1.0;
    const int filled = static_cast<int>(share * kWidth);
    const double rate = elapsed > 0 ? done / elapsed : 0;
    const std::string left = rate > 0 ? Duration((total - done) / rate) : "?";
    std::fprintf(err, "\r\033[K[%s%s] %zu/%zu  %.1f photos/s  %s left",
                 std::string(filled, '#').c_str(), std::string(kWidth - filled, '.').c_str(), done,
                 total, rate, left.c_str());
    std::fflush(err);
}

}  // namespace

PhotoSource::PhotoSource(std::vector<std::string> arguments) : arguments_(std::move(arguments)) {}

bool PhotoSource::HasPhotoExtension(const std::string& path) {
    std::string ext = fs::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == ".jpg" || ext == ".jpeg" || ext == ".jpe";
}

void PhotoSource::Enter(const std::string& folder) {
    Folder listing;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        listing.entries.push_back(it->path().string());
    }
    if (ec) {
        errors_.push_back(ToValidUtf8(folder) + ": " + ec.message());
    }
    std::sort(listing.entries.begin(), listing.entries.end());
    stack_.push_back(std::move(listing));
}

std::optional<std::string> PhotoSource::Next() {
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
            if (fs::is_directory(fs::symlink_status(entry, ec))) {
                Enter(entry);
            } else if (HasPhotoExtension(entry) && !fs::is_directory(fs::status(entry, ec))) {
                return entry;
            }
            continue;
        }
        if (nextArgument_ == arguments_.size()) {
            return std::nullopt;
        }
        std::string argument = arguments_[nextArgument_++];
        std::error_code ec;
        if (fs::is_directory(fs::status(argument, ec))) {
            Enter(argument);
            continue;
        }
        return argument;
    }
}

BatchSummary RunBatch(const std::vector<std::string>& arguments, const BatchOptions& options,
                      std::FILE* out, std::FILE* err, const std::atomic<bool>* stop) {
    BatchSummary summary;
    const auto started = Clock::now();
    const unsigned jobs = std::max(1u, options.jobs);
    // Photos are audited side by side rather than each spread over the cores: whole photos
    // divide the work more evenly than the detector's own threads do.
    cv::setNumThreads(1);

    // Every worker gets a classifier of its own: detection is not safe to share between threads.
    std::vector<std::unique_ptr<CommandAudit>> audits;
    for (unsigned i = 0; i < jobs; ++i) {
        auto audit = std::make_unique<CommandAudit>();
        if (!options.cascadeFile.empty()) {
            audit->m_strCascadeFile = options.cascadeFile;
            audit->m_strSystemCascadeFile.clear();
        }
        if (!audit->LoadFaceCascade()) {
            summary.noCascade = true;
            return summary;
        }
        audits.push_back(std::move(audit));
    }

    CLog log;
    if (!options.logFile.empty()) {
        log.Open(options.logFile.c_str());
    }

    std::size_t total = 0;
    if (options.progress) {
        PhotoSource counter(arguments);
        while (counter.Next()) {
            ++total;
        }
    }

    PhotoSource source(arguments);
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::size_t, Outcome> ready;
    std::size_t handedOut = 0;
    std::size_t printed = 0;
    unsigned running = jobs;
    bool sourceDone = false;
    // Workers run at most this far ahead of the output. What waits there is only its text and,
    // for passed photos, the saved file's bytes (tens of kilobytes), never a decoded photo; the
    // window is wide enough that one slow photo does not leave the other workers idle.
    const std::size_t window = std::max<std::size_t>(64, 16 * static_cast<std::size_t>(jobs));
    const auto stopped = [stop] { return stop != nullptr && stop->load(); };

    auto work = [&](CommandAudit& audit) {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] {
                return sourceDone || stopped() || handedOut < printed + window;
            });
            if (sourceDone || stopped()) {
                break;
            }
            std::optional<std::string> photo = source.Next();
            if (!photo) {
                sourceDone = true;
                changed.notify_all();
                break;
            }
            const std::size_t index = handedOut++;
            lock.unlock();

            Outcome outcome;
            outcome.photo = *photo;
            audit.AuditFile(*photo, DisplayFileName(*photo));
            outcome.state = audit.m_nState;
            outcome.logLine = std::move(audit.verdictLine);
            outcome.line = options.json ? AuditJson(*photo, audit) : TextLine(*photo, audit);
            if (outcome.state == Passed && !options.saveDir.empty()) {
                outcome.saveBytes = EncodeApprovedPhoto(audit.m_matResult);
            }

            lock.lock();
            ready.emplace(index, std::move(outcome));
            changed.notify_all();
        }
        --running;
        changed.notify_all();
    };

    std::vector<std::thread> workers;
    for (auto& audit : audits) {
        workers.emplace_back(work, std::ref(*audit));
    }

    std::set<std::string> savedNames;
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

            if (outcome.state == Passed && !options.saveDir.empty()) {
                const std::string target = SaveTarget(options.saveDir, outcome.photo, savedNames);
                const WriteResult saved =
                    outcome.saveBytes.empty()
                        ? WriteResult{false, "照片无法编码为 JPEG"}
                        : WriteFileAtomically(outcome.saveBytes, target);
                if (!saved.ok) {
                    ++summary.saveFailures;
                    std::fprintf(err, "%svetrix-audit: %s: %s\n", options.progress ? "\r\033[K" : "",
                                 ToValidUtf8(target).c_str(), saved.error.c_str());
                }
            }
            if (log.IsOpen()) {
                log.Print("%s", outcome.logLine.c_str());
            }
            if (options.progress) {
                std::fputs("\r\033[K", err);
            }
            std::fprintf(out, "%s\n", outcome.line.c_str());
            std::fflush(out);
            ++summary.photos;
            ++summary.counts[outcome.state];
            if (options.progress) {
                const std::chrono::duration<double> elapsed = Clock::now() - started;
                DrawProgress(err, summary.photos, std::max(total, summary.photos), elapsed.count());
            }
            lock.lock();
        }
        if (running == 0 && ready.empty()) {
            break;
        }
    }
    lock.unlock();
    for (auto& worker : workers) {
        worker.join();
    }

    if (options.progress) {
        std::fputs("\r\033[K", err);
    }
    for (const std::string& error : source.Errors()) {
        std::fprintf(err, "vetrix-audit: cannot read folder %s\n", error.c_str());
    }
    summary.unreadableFolders = source.Errors().size();
    summary.interrupted = stopped();
    const std::chrono::duration<double> elapsed = Clock::now() - started;
    summary.seconds = elapsed.count();
    return summary;
}

std::string SummaryText(const BatchSummary& summary) {
    char head[96];
    std::snprintf(head, sizeof head, "%zu photo%s in %.1f s%s:", summary.photos,
                  summary.photos == 1 ? "" : "s", summary.seconds,
                  summary.interrupted ? " (interrupted)" : "");
    std::string text = head;
    const int order[] = {Passed, BadFormat, NoSinglePortrait, BadSize, BadBackground,
                         BadProportion};
    for (const int state : order) {
        text += ' ' + std::string(ResultStateName(state)) + ' ' +
                std::to_string(summary.counts[state]) + (state == BadProportion ? "" : ",");
    }
    if (summary.saveFailures > 0) {
        text += "; " + std::to_string(summary.saveFailures) + " not saved";
    }
    return text;
}
