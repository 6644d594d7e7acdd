#include "platform/System.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

#include "platform/Files.h"

namespace {

std::atomic<int>* g_stop = nullptr;

// The first stop signal lets the run end in order; a second one ends the program at once, after
// removing the temporary files of a save under way. Both steps are safe in a signal handler.
extern "C" void OnStopSignal(int signal) {
    int none = 0;
    if (g_stop->compare_exchange_strong(none, signal)) {
        return;
    }
    RemovePendingTemporaries();
    std::signal(signal, SIG_DFL);
    std::raise(signal);  // delivered as the handler returns, ending the program
}

}  // namespace

bool OpenClosedStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest free descriptor is the one just found closed, as those below it are open.
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened < 0) {
            return false;
        }
        if (opened != fd) {
            const bool moved = ::dup2(opened, fd) == fd;
            ::close(opened);
            if (!moved) {
                return false;
            }
        }
    }
    return true;
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

void UseBinaryUtf8StandardStreams() {}

void HandleStopRequests(std::atomic<int>& stop) {
    g_stop = &stop;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&action.sa_mask, signal);
    }
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
    // A reader that goes away shows as EPIPE on the next write, so the run can stop in order.
    std::signal(SIGPIPE, SIG_IGN);
}

const char* StopRequestsHelp() {
    return "SIGINT (Ctrl-C), SIGTERM and SIGHUP stop the run after the photos under way: their lines\n"
           "are printed but passed ones are no longer saved ('not saved: interrupted'), the summary\n"
           "follows and no partly written file is left. A second signal ends the program at once,\n"
           "still removing partly written files.\n";
}

const char* StopStatusHelp() {
    return "128 + N after signal N (130 for Ctrl-C). When the reader of standard output goes away,\n"
           "the program ends quietly by SIGPIPE.\n";
}

int EndForClosedOutput() {
    // As other tools do when their reader goes away: end quietly, by the signal.
    std::signal(SIGPIPE, SIG_DFL);
    std::raise(SIGPIPE);
    return 128 + SIGPIPE;
}

std::tm LocalTime(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    return local;
}
