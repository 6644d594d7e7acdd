#include "platform/System.h"

#include <csignal>
#include <cstdlib>

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include "platform/Files.h"
#include "platform/WinText.h"

namespace {

std::atomic<int>* g_stop = nullptr;

// Runs on a thread of its own that the system starts for each event. Ctrl-C and Ctrl-Break
// first let the run end in order, as SIGINT does on Linux, and end the program at once the
// second time. Closing the console (or logging off, shutting down) leaves the program only a
// few seconds before the system ends it, so it ends at once, as after a second signal.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    const bool interrupt = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
    const int signal = interrupt ? SIGINT : SIGTERM;
    int none = 0;
    if (g_stop->compare_exchange_strong(none, signal) && interrupt) {
        return TRUE;
    }
    RemovePendingTemporaries();
    ::ExitProcess(static_cast<UINT>(128 + (none != 0 ? none : signal)));
}

}  // namespace

bool OpenClosedStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        // A program without a console (the window) starts without these; -2 says so.
        const intptr_t handle = ::_get_osfhandle(fd);
        if (handle != -1 && handle != -2) {
            continue;
        }
        const int opened = ::_wopen(L"NUL", _O_RDWR | _O_BINARY);
        if (opened < 0) {
            return false;
        }
        if (opened != fd) {
            const bool moved = ::_dup2(opened, fd) == 0;
            ::_close(opened);
            if (!moved) {
                return false;
            }
        }
    }
    return true;
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    int count = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr) {
        return std::vector<std::string>(argv, argv + argc);
    }
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) {
        arguments.push_back(Utf8FromWide(wide[i]));
    }
    ::LocalFree(wide);
    return arguments;
}

void UseBinaryUtf8StandardStreams() {
    // The code page belongs to the console, which outlives the program: it gets its own back.
    static UINT previous = ::GetConsoleOutputCP();
    if (previous != 0 && previous != CP_UTF8 && ::SetConsoleOutputCP(CP_UTF8)) {
        std::atexit([] { ::SetConsoleOutputCP(previous); });
    }
    for (const int fd : {0, 1, 2}) {
        ::_setmode(fd, _O_BINARY);
    }
}

void HandleStopRequests(std::atomic<int>& stop) {
    g_stop = &stop;
    ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

const char* StopRequestsHelp() {
    return "Ctrl-C and Ctrl-Break stop the run after the photos under way: their lines are printed\n"
           "but passed ones are no longer saved ('not saved: interrupted'), the summary follows and\n"
           "no partly written file is left. A second one ends the program at once, still removing\n"
           "partly written files. Closing the console, logging off and shutting down end the\n"
           "program at once, after removing partly written files.\n";
}

const char* StopStatusHelp() {
    return "130 after Ctrl-C or Ctrl-Break, 143 when the console closed; 141 when the reader of\n"
           "standard output went away.\n";
}

int EndForClosedOutput() {
    constexpr int kBrokenPipeSignal = 13;  // SIGPIPE's number on Linux
    return 128 + kBrokenPipeSignal;
}

std::tm LocalTime(std::time_t when) {
    std::tm local{};
    ::localtime_s(&local, &when);
    return local;
}
