#pragma once

#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/Files.h"

/// The name that stands for standard input among the inputs.
inline constexpr const char* kStandardInputName = "-";

/// One input found on a command line: a photo to audit, or a named input that could not be
/// looked into (then `error` says why).
struct PhotoInput {
    std::string path;
    std::string error;
};

/// The photos named on a command line, one at a time: files given by name as they are (whatever
/// their extension; a name that does not exist too, whose reading then fails), "-" for standard
/// input, folders walked recursively in name order, taking the files whose ending is one of
/// PhotoFileEndings() in any letter case. Only the listing of the folders being walked is held,
/// so any number of photos can be streamed. A folder that cannot be listed is itself returned,
/// with the reason.
class PhotoSource {
public:
    explicit PhotoSource(std::vector<std::string> arguments);

    /// The next input, or nullopt when there are no more.
    std::optional<PhotoInput> Next();

    /// True for a name whose ending is one of PhotoFileEndings(), in any letter case.
    static bool HasPhotoExtension(const std::string& path);

private:
    struct Folder {
        std::vector<std::string> entries;
        std::size_t next = 0;
    };
    std::string Enter(const std::string& folder);

    std::vector<std::string> arguments_;
    std::size_t nextArgument_ = 0;
    std::vector<Folder> stack_;
};

/// The files a save must never replace: every file named or found as an input, by identity, and
/// everything inside a folder named as an input. Safe to use from several threads.
class InputSet {
public:
    explicit InputSet(const std::vector<std::string>& arguments);

    /// True for a path named as an input file, whether or not it exists yet.
    bool IsNamed(const std::string& path) const;
    /// Adds the file at `path` (and, for a link, the link itself) to the inputs.
    void Add(const std::string& path);
    /// True for an input file, or anything inside an input folder, or a path that cannot be
    /// told apart from one.
    bool Contains(const std::string& path) const;

private:
    std::vector<std::string> folders_;
    mutable std::mutex mutex_;  // guards files_, which grows as inputs are found
    std::set<FileIdentity> files_;
    std::set<std::string> named_;
};
