// vetrix-bench: times the audit of a passing portrait at three sizes against the bare OpenCV
// pipeline on the same file, prints the audit / bare ratios, then measures the peak memory of
// auditing the largest photo.
//
// Beside the two whole runs it times the checks alone (background, proportion and framing on the
// decoded photo and its face), the work that the audit adds to the bare pipeline. Their time is
// a few per cent of a run, smaller than the run-to-run spread of a shared machine, so the
// summary also gives 1 + checks / bare, an estimate of the ratio that such spread barely moves.
//
// Both sides run OpenCV on one thread. The detector is the only parallel step of either side, so
// with more threads the ratio would mostly measure how well the detector scales on the machine
// at hand; the batch command also runs every audit on one OpenCV thread and gets its parallelism
// from auditing several photos at once. Ratios compare CPU time (that of the one thread), which
// other programs on the machine disturb less than wall time.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <ostream>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include <benchmark/benchmark.h>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include "bench/bench_support.h"
#include "bench/peak_memory.h"
#include "engine/Background.h"
#include "engine/Framing.h"

namespace {

struct BenchPhoto {
    const char* label;  // size class, as it appears in benchmark names
    const char* file;   // in the data folder
    bool target;        // the audit / bare target applies to this size
};

constexpr BenchPhoto kPhotos[] = {
    {"0.5MP", "pass_red_test1_600x800.jpg", false},
    {"2MP", "pass_blue_test4_1200x1680.jpg", true},
    {"12MP", "large_phone_3000x4000_blue_test4.jpg", true},
};
constexpr double kTargetRatio = 1.05;

std::string g_dataDir = VETRIX_BENCH_DATA;

std::string PhotoPath(const BenchPhoto& photo) { return g_dataDir + "/" + photo.file; }

cv::CascadeClassifier& BareCascade() {
    static cv::CascadeClassifier cascade(FindFaceCascade());
    return cascade;
}

// Loaded once, in main.
CPhotoAudit& Audit() {
    static CPhotoAudit audit;
    return audit;
}

void BM_Bare(benchmark::State& state, const BenchPhoto& photo) {
    const std::string path = PhotoPath(photo);
    cv::CascadeClassifier& cascade = BareCascade();
    for (auto _ : state) {
        std::vector<cv::Rect> faces = RunBarePipeline(cascade, path);
        benchmark::DoNotOptimize(faces.data());
        if (faces.size() != 1) {
            state.SkipWithError("the bare pipeline does not find exactly one face");
            break;
        }
    }
}

void BM_Audit(benchmark::State& state, const BenchPhoto& photo) {
    const std::string path = PhotoPath(photo);
    const std::string name = photo.file;
    CPhotoAudit& audit = Audit();
    for (auto _ : state) {
        audit.AuditFile(path, name);
        benchmark::DoNotOptimize(audit.m_matResult.data);
        if (audit.m_nState != Passed) {
            state.SkipWithError("the photo does not pass the audit");
            break;
        }
    }
}

// The checks that the audit runs after detection, on the decoded photo and its chosen face.
void BM_Checks(benchmark::State& state, const BenchPhoto& photo) {
    const cv::Mat decoded = DecodePhoto(PhotoPath(photo));
    const std::optional<cv::Rect> face =
        ChoosePortraitFace(DetectFaces(Audit().m_faceCascade, decoded));
    if (!face) {
        state.SkipWithError("no single face");
        return;
    }
    cv::Mat result;
    for (auto _ : state) {
        // With the facts captured, as the ladder captures them.
        BackgroundFacts background;
        FramingFacts framing;
        const bool passed = CheckBackground(decoded, &background) &&
                            CheckProportion(decoded, *face, result, nullptr, &framing);
        benchmark::DoNotOptimize(result.data);
        if (!passed) {
            state.SkipWithError("the photo does not pass the checks");
            break;
        }
    }
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The console output, plus a table of audit / bare ratios at the end, made from the CPU time per
// iteration of every repetition.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& reports) override {
        ConsoleReporter::ReportRuns(reports);
        for (const Run& run : reports) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                // Every benchmark runs in milliseconds.
                times_[run.run_name.function_name].push_back(run.GetAdjustedCPUTime());
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::ostream& out = GetOutputStream();
        out << "\nAudit against the bare pipeline (CPU ms per photo, one OpenCV thread)\n"
               "  ratio: median audit / median bare; best: fastest audit / fastest bare;\n"
               "  checks: median time of the checks alone; estimate: 1 + checks / bare\n";
        char line[200];
        std::snprintf(line, sizeof line, "%-6s %5s %9s %9s %7s %7s %8s %8s  %s\n", "size", "reps",
                      "bare", "audit", "ratio", "best", "checks", "estimate", "target");
        out << line;
        for (const BenchPhoto& photo : kPhotos) {
            const std::vector<double>* bare = Times("bare/", photo);
            const std::vector<double>* audit = Times("audit/", photo);
            const std::vector<double>* checks = Times("checks/", photo);
            if (bare == nullptr || audit == nullptr) {
                continue;
            }
            const double b = Median(*bare);
            const double a = Median(*audit);
            const double ratio = a / b;
            const double best = *std::min_element(audit->begin(), audit->end()) /
                                *std::min_element(bare->begin(), bare->end());
            const double c = checks != nullptr ? Median(*checks) : 0;
            const double estimate = 1 + c / b;
            std::string verdict = "-";
            if (photo.target) {
                verdict = ratio <= kTargetRatio ? "<= 1.05 met"
                                                                    : "<= 1.05 MISSED";
            }
            std::snprintf(line, sizeof line, "%-6s %5zu %9.1f %9.1f %7.3f %7.3f %8.1f %8.3f  %s\n",
                          photo.label, std::min(bare->size(), audit->size()), b, a, ratio, best, c,
                          estimate, verdict.c_str());
            out << line;
        }
        out.flush();
    }

private:
    const std::vector<double>* Times(const char* what, const BenchPhoto& photo) const {
        const auto found = times_.find(std::string(what) + photo.label);
        return found == times_.end() || found->second.empty() ? nullptr : &found->second;
    }

    std::map<std::string, std::vector<double>> times_;
};

double MiB(std::uint64_t kib) { return static_cast<double>(kib) / 1024.0; }

// The peak resident memory of one audit of the largest photo, in a fresh process each, against
// the decoded photo's own size and against the bare pipeline.
void PrintPeakMemory(const std::string& self) {
    const BenchPhoto& photo = kPhotos[std::size(kPhotos) - 1];
    const std::string path = PhotoPath(photo);
    std::uint64_t decodedBytes = 0;
    int cols = 0, rows = 0;
    {
        const cv::Mat decoded = cv::imread(path, cv::IMREAD_COLOR);
        decodedBytes = decoded.total() * decoded.elemSize();
        cols = decoded.cols;
        rows = decoded.rows;
    }
    const double decodedMiB = static_cast<double>(decodedBytes) / (1024.0 * 1024.0);
    std::printf("\nPeak memory, one audit of %s (%d x %d, decoded photo %.1f MiB)\n", photo.file,
                cols, rows, decodedMiB);
    std::printf("%-8s %12s %12s %12s %14s\n", "work", "before MiB", "peak MiB", "growth MiB",
                "growth/photo");
    const struct {
        const char* name;
        PeakMemoryWork work;
    } works[] = {{"decode", PeakMemoryWork::Decode},
                 {"bare", PeakMemoryWork::Bare},
                 {"audit", PeakMemoryWork::Audit}};
    double bareGrowth = 0;
    double auditGrowth = 0;
    for (const auto& w : works) {
        const std::optional<PeakMemory> m = MeasurePeakMemory(self, w.work, path);
        if (!m) {
            std::printf("%-8s could not be measured\n", w.name);
            continue;
        }
        const double growth = MiB(m->peakKiB) - MiB(m->beforeKiB);
        std::printf("%-8s %12.1f %12.1f %12.1f %13.2fx\n", w.name, MiB(m->beforeKiB),
                    MiB(m->peakKiB), growth, growth / decodedMiB);
        if (w.work == PeakMemoryWork::Bare) {
            bareGrowth = growth;
        } else if (w.work == PeakMemoryWork::Audit) {
            auditGrowth = growth;
        }
    }
    if (bareGrowth > 0 && auditGrowth > 0) {
        std::printf("audit / bare growth: %.3f\n", auditGrowth / bareGrowth);
    }
    std::fflush(stdout);
}

bool HasFlag(const std::vector<char*>& args, const char* prefix) {
    return std::any_of(args.begin(), args.end(), [&](const char* a) {
        return std::strncmp(a, prefix, std::strlen(prefix)) == 0;
    });
}

constexpr const char* kUsage =
    "vetrix-bench [--data DIR] [--no-memory] [Google Benchmark flags]\n"
    "  --data DIR    folder of the benchmark photos (default: bench/data of the source tree)\n"
    "  --no-memory   skip the peak-memory measurement\n"
    "Unless given otherwise, each benchmark runs 10 repetitions of at least 0.2 s, interleaved\n"
    "at random.\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], kPeakMemoryChildFlag) == 0) {
        return RunPeakMemoryChild(argc, argv);
    }

    std::vector<char*> args;
    bool memory = true;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && std::strcmp(argv[i], "--no-memory") == 0) {
            memory = false;
        } else if (i > 0 && std::strcmp(argv[i], "--data") == 0 && i + 1 < argc) {
            g_dataDir = argv[++i];
        } else if (i > 0 && std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            args.push_back(argv[i]);  // Google Benchmark adds its own flags and exits
        } else {
            args.push_back(argv[i]);
        }
    }
    // Repetitions interleaved at random spread any slow spell of the machine over both sides of
    // every ratio instead of onto one benchmark.
    static char repetitions[] = "--benchmark_repetitions=10";
    static char minTime[] = "--benchmark_min_time=0.2";
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    if (!HasFlag(args, "--benchmark_repetitions")) {
        args.push_back(repetitions);
    }
    if (!HasFlag(args, "--benchmark_min_time")) {
        args.push_back(minTime);
    }
    if (!HasFlag(args, "--benchmark_enable_random_interleaving")) {
        args.push_back(interleave);
    }
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        return 2;
    }

    cv::setNumThreads(1);
    if (BareCascade().empty() || !Audit().LoadFaceCascade()) {
        std::fprintf(stderr, "vetrix-bench: no face cascade could be loaded\n");
        return 2;
    }
    for (const BenchPhoto& photo : kPhotos) {
        if (!std::filesystem::is_regular_file(PhotoPath(photo))) {
            std::fprintf(stderr, "vetrix-bench: missing %s\n", PhotoPath(photo).c_str());
            return 2;
        }
        benchmark::RegisterBenchmark((std::string("bare/") + photo.label).c_str(), BM_Bare, photo)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("audit/") + photo.label).c_str(), BM_Audit,
                                     photo)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("checks/") + photo.label).c_str(), BM_Checks,
                                     photo)
            ->Unit(benchmark::kMillisecond);
    }

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    if (memory) {
        PrintPeakMemory("/proc/self/exe");
    }
    return 0;
}
