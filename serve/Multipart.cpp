#include "serve/Multipart.h"

#include <algorithm>
#include <cctype>

namespace {

// Parts and head sizes beyond any browser's or curl's form: a body made of a million empty
// parts is refused rather than walked.
constexpr int kMaxParts = 64;
constexpr std::size_t kMaxPartHead = 8 * 1024;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// The value of parameter `name` in "type; a=b; name="value"", unquoted; `found` says whether
// it was there at all.
std::string Parameter(std::string_view header, std::string_view name, bool& found) {
    found = false;
    std::size_t at = header.find(';');
    while (at != std::string_view::npos) {
        std::string_view rest = Trim(header.substr(at + 1));
        const std::size_t eq = rest.find('=');
        if (eq == std::string_view::npos) {
            return {};
        }
        const std::string_view key = Trim(rest.substr(0, eq));
        rest = Trim(rest.substr(eq + 1));
        std::string value;
        std::size_t used = 0;
        if (!rest.empty() && rest.front() == '"') {
            for (used = 1; used < rest.size() && rest[used] != '"'; ++used) {
                if (rest[used] == '\\' && used + 1 < rest.size()) {
                    ++used;
                }
                value += rest[used];
            }
            ++used;
        } else {
            used = std::min(rest.find(';'), rest.size());
            value = std::string(Trim(rest.substr(0, used)));
        }
        if (key.size() == name.size() && StartsWithNoCase(key, name)) {
            found = true;
            return value;
        }
        const std::size_t next = rest.find(';', std::min(used, rest.size()));
        if (next == std::string_view::npos) {
            return {};
        }
        at = static_cast<std::size_t>(rest.data() + next - header.data());
    }
    return {};
}

// Whether a part's head (its header lines) declares a file.
bool IsFilePart(std::string_view head) {
    std::size_t start = 0;
    while (start < head.size()) {
        std::size_t end = head.find("\r\n", start);
        if (end == std::string_view::npos) {
            end = head.size();
        }
        const std::string_view line = head.substr(start, end - start);
        if (StartsWithNoCase(line, "content-disposition:")) {
            bool found = false;
            Parameter(line, "filename", found);
            if (!found) {
                Parameter(line, "filename*", found);
            }
            return found;
        }
        start = end + 2;
    }
    return false;
}

}  // namespace

std::string FormBoundary(std::string_view contentType) {
    if (!StartsWithNoCase(Trim(contentType), "multipart/form-data")) {
        return {};
    }
    bool found = false;
    std::string boundary = Parameter(contentType, "boundary", found);
    return boundary.size() <= 70 ? boundary : std::string();
}

bool FindFormFile(std::string_view body, std::string_view boundary, std::string_view& file,
                  std::string& error) {
    if (boundary.empty()) {
        error = "the form names no boundary";
        return false;
    }
    const std::string delimiter = "--" + std::string(boundary);
    const std::string nextDelimiter = "\r\n" + delimiter;
    // The first delimiter opens the body or a line of its own, after an ignored preamble.
    std::size_t at = body.rfind(delimiter, 0) == 0 ? 0 : body.find(nextDelimiter);
    if (at == std::string_view::npos) {
        error = "the form does not hold its boundary";
        return false;
    }
    at += body[at] == '\r' ? nextDelimiter.size() : delimiter.size();
    int files = 0;
    for (int parts = 0;; ++parts) {
        if (body.substr(at, 2) == "--") {
            break;  // the closing delimiter; an epilogue may follow and is ignored
        }
        while (at < body.size() && (body[at] == ' ' || body[at] == '\t')) {
            ++at;
        }
        if (body.substr(at, 2) != "\r\n") {
            error = "the form's boundary line is malformed";
            return false;
        }
        at += 2;
        if (parts == kMaxParts) {
            error = "the form has more than " + std::to_string(kMaxParts) + " parts";
            return false;
        }
        // A part with no header lines starts with the blank line at once.
        const std::size_t headEnd = body.substr(at, 2) == "\r\n" ? at : body.find("\r\n\r\n", at);
        if (headEnd == std::string_view::npos || headEnd - at > kMaxPartHead) {
            error = "a part of the form has no end to its head";
            return false;
        }
        const std::string_view head = body.substr(at, headEnd - at);
        const std::size_t contentStart = headEnd + (headEnd == at ? 2 : 4);
        const std::size_t contentEnd = body.find(nextDelimiter, contentStart);
        if (contentEnd == std::string_view::npos) {
            error = "the form ends before its closing boundary";
            return false;
        }
        // A browser sends a file input left empty as a file part with no content.
        if (IsFilePart(head) && contentEnd > contentStart) {
            ++files;
            file = body.substr(contentStart, contentEnd - contentStart);
        }
        at = contentEnd + nextDelimiter.size();
    }
    if (files != 1) {
        error = files == 0 ? "the form holds no file"
                           : "the form holds " + std::to_string(files) + " files; send one photo";
        return false;
    }
    return true;
}
