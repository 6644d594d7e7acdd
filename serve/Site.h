#pragma once

#include <map>
#include <string>

/// A static folder read whole into memory when the service starts, so that answering a request
/// never opens a file and no path is ever built from one.
class Site {
public:
    struct File {
        std::string contentType;
        std::string bytes;
    };

    /// Reads every regular file under `dir` (links to folders not followed), at most `maxBytes`
    /// in all. False, with the reason in `error`, when the folder cannot be read or is too big.
    bool Load(const std::string& dir, std::size_t maxBytes, std::string& error);

    /// The file for a request path ("/" is "/index.html"; percent escapes decoded; the query
    /// ignored); nullptr when there is none.
    const File* Find(const std::string& target) const;

    bool empty() const { return files_.empty(); }

private:
    std::map<std::string, File> files_;
};
