#pragma once

// What differs between systems about the process: its arguments and standard streams, the
// requests to stop it, and the local time. Text is UTF-8 on every system.

#include <atomic>
#include <ctime>
#include <string>
#include <vector>

/// Opens the null device on each of the standard descriptors 0, 1 and 2 that is closed, so that
/// no file the program opens later receives one of them (and with it stray output meant for
/// stdout or stderr). Call it first thing in main, before any file or thread is opened. Open
/// descriptors are left as they are. False when the null device could not be opened for a
/// closed descriptor.
bool OpenClosedStandardDescriptors();

/// The program's arguments in UTF-8, the program's name first: `argv` as it is on Linux; on
/// Windows the command line as the system holds it (UTF-16), whatever the code page.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

/// Makes the standard streams carry bytes unchanged: on Windows the console shows UTF-8 while
/// the program runs (its own code page comes back at exit) and no line end is translated, so
/// that output and standard input are the same bytes as on Linux. Nothing to do on Linux.
void UseBinaryUtf8StandardStreams();

/// Routes the requests to stop the program (Ctrl-C and SIGTERM and SIGHUP on Linux; Ctrl-C,
/// Ctrl-Break and closing the console on Windows) to `stop`: the first one stores its signal
/// number there (SIGINT for Ctrl-C and Ctrl-Break, SIGTERM for a closed console) so that the
/// run can end in order; a second one ends the program at once, after
/// RemovePendingTemporaries(). On Linux a reader of standard output that goes away then shows
/// as EPIPE on the next write. `stop` must live until the program ends.
void HandleStopRequests(std::atomic<int>& stop);

/// The paragraph of a command's help that says which requests stop a run on this system, and
/// how it ends; and the end of its exit status paragraph, for the statuses those requests give.
/// Both end with a newline.
const char* StopRequestsHelp();
const char* StopStatusHelp();

/// Ends the program as one whose reader of standard output went away: by SIGPIPE on Linux, with
/// status 128 + 13 on Windows, which has no such signal. Returns that status for a caller that
/// is still running.
int EndForClosedOutput();

/// `when` in the local time zone.
std::tm LocalTime(std::time_t when);
