#include "bench/peak_memory.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include "bench/bench_support.h"

extern char** environ;

namespace {

const char* WorkName(PeakMemoryWork work) {
    switch (work) {
        case PeakMemoryWork::Decode: return "decode";
        case PeakMemoryWork::Bare: return "bare";
        case PeakMemoryWork::Audit: return "audit";
    }
    return "";
}

}  // namespace

std::uint64_t ReadPeakRssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            std::istringstream fields(line.substr(6));
            std::uint64_t kib = 0;
            fields >> kib;
            return kib;
        }
    }
    return 0;
}

int RunPeakMemoryChild(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s %s decode|bare|audit PHOTO\n", argv[0],
                     kPeakMemoryChildFlag);
        return 2;
    }
    const std::string work = argv[2];
    const std::string photo = argv[3];
    // The same single OpenCV thread as the timed benchmarks and the batch command.
    cv::setNumThreads(1);

    CPhotoAudit audit;
    cv::CascadeClassifier cascade;
    if (work != "decode") {
        if (!audit.LoadFaceCascade() || !cascade.load(FindFaceCascade())) {
            std::fprintf(stderr, "no face cascade\n");
            return 2;
        }
    }
    const std::uint64_t before = ReadPeakRssKiB();
    bool ok = false;
    if (work == "decode") {
        ok = !cv::imread(photo, cv::IMREAD_COLOR).empty();
    } else if (work == "bare") {
        ok = !RunBarePipeline(cascade, photo).empty();
    } else if (work == "audit") {
        audit.AuditFile(photo, photo);
        ok = audit.m_nState == Passed;
    }
    if (!ok) {
        std::fprintf(stderr, "%s failed on %s\n", work.c_str(), photo.c_str());
        return 1;
    }
    std::printf("%llu %llu\n", static_cast<unsigned long long>(before),
                static_cast<unsigned long long>(ReadPeakRssKiB()));
    return 0;
}

std::optional<PeakMemory> MeasurePeakMemory(const std::string& self, PeakMemoryWork work,
                                            const std::string& photo) {
    int fds[2];
    if (pipe(fds) != 0) {
        return std::nullopt;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);

    std::string flag = kPeakMemoryChildFlag;
    std::string workName = WorkName(work);
    std::string photoArg = photo;
    std::string selfArg = self;
    char* args[] = {selfArg.data(), flag.data(), workName.data(), photoArg.data(), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, self.c_str(), &actions, nullptr, args, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        return std::nullopt;
    }

    std::string output;
    char buf[256];
    ssize_t n = 0;
    while ((n = read(fds[0], buf, sizeof buf)) != 0) {
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        output.append(buf, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return std::nullopt;
    }
    PeakMemory result;
    std::istringstream fields(output);
    if (!(fields >> result.beforeKiB >> result.peakKiB)) {
        return std::nullopt;
    }
    return result;
}
