#pragma once

#include <map>
#include <string>

/// A static folder read whole into memory when the service starts, so that answering a request
/// never opens a file and no path is ever built from one.
class Site {
public:
    struct File {
        std::string contentType;
        std::string cacheControl;  ///< long-lived for a name with a content hash, else no-cache
        std::string bytes;
    };

    /// Reads every regular file under `dir`, at most `maxBytes` in all; each file's size is
    /// checked before it is read, so a huge or sparse file is refused without being read.
    /// Skipped: names with a component that starts with '.', links to folders, and links whose
    /// target is not a regular file inside `dir` (a link inside is served under its own name).
    /// False, with the reason in `error`, when the folder cannot be read or is too big.
    bool Load(const std::string& dir, std::size_t maxBytes, std::string& error);

    /// The file for a request path ("/" is "/index.html"; percent escapes decoded; the query
    /// ignored); nullptr when there is none, and for any name with a component that starts
    /// with '.'.
    const File* Find(const std::string& target) const;

    bool empty() const { return files_.empty(); }

private:
    std::map<std::string, File> files_;
};
