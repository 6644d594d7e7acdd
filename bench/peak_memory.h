#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Peak memory of one audit, measured in a child process of its own so that nothing the
// benchmarks allocated before it counts.

/// What a child process reports: its peak resident set size just before the measured work
/// (cascade loaded, nothing decoded) and at the end of it, in KiB.
struct PeakMemory {
    std::uint64_t beforeKiB = 0;
    std::uint64_t peakKiB = 0;
};

/// What a child measures on the photo.
enum class PeakMemoryWork {
    Decode,  ///< cv::imread in colour only
    Bare,    ///< decode, grey, equalise, detect
    Audit,   ///< CPhotoAudit::AuditFile
};

/// The argument that turns vetrix-bench into a measuring child:
///   vetrix-bench --peak-memory-child decode|bare|audit PHOTO
inline constexpr const char* kPeakMemoryChildFlag = "--peak-memory-child";

/// Runs `self` (this executable) as a child that does `work` on `photo` once and reports its peak
/// memory. nullopt when the child cannot be started or fails.
std::optional<PeakMemory> MeasurePeakMemory(const std::string& self, PeakMemoryWork work,
                                            const std::string& photo);

/// The child's side: argv[1] is kPeakMemoryChildFlag. Prints "<before> <peak>" in KiB on stdout.
/// Returns the process exit status.
int RunPeakMemoryChild(int argc, char** argv);

/// The calling process's peak resident set size in KiB (VmHWM; unlike getrusage's ru_maxrss it
/// starts afresh at exec, so a child does not inherit its parent's peak). 0 when unknown.
std::uint64_t ReadPeakRssKiB();
