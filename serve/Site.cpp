#include "serve/Site.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "platform/Files.h"

namespace fs = std::filesystem;

namespace {

std::string ContentType(const fs::path& file) {
    static const std::map<std::string, std::string> types{
        {".html", "text/html; charset=utf-8"}, {".htm", "text/html; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},   {".js", "text/javascript; charset=utf-8"},
        {".mjs", "text/javascript; charset=utf-8"}, {".json", "application/json"},
        {".wasm", "application/wasm"},         {".png", "image/png"},
        {".jpg", "image/jpeg"},                {".jpeg", "image/jpeg"},
        {".svg", "image/svg+xml"},             {".ico", "image/x-icon"},
        {".txt", "text/plain; charset=utf-8"}, {".xml", "application/xml"},
        {".webmanifest", "application/manifest+json"},
    };
    const auto it = types.find(file.extension().string());
    return it != types.end() ? it->second : "application/octet-stream";
}

// A name that carries its content's hash ("vetrix.1b89194bb2.js") never changes content, and may
// be kept for a year; any other (the page, its service worker) is checked again on every use.
std::string CacheControl(const fs::path& file) {
    const std::string stem = file.stem().string();
    const std::size_t dot = stem.rfind('.');
    const std::string tag = dot == std::string::npos ? "" : stem.substr(dot + 1);
    const bool hashed = tag.size() >= 8 && tag.find_first_not_of("0123456789abcdef") ==
                                               std::string::npos;
    return hashed ? "public, max-age=31536000, immutable" : "no-cache";
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "/.env", "/a/.git/config", and "/a/../b" alike: a hidden file or a step out of a folder is
// never part of a site.
bool HasDotComponent(const std::string& path) {
    for (std::size_t at = 0; (at = path.find('/', at)) != std::string::npos; ++at) {
        if (at + 1 < path.size() && path[at + 1] == '.') {
            return true;
        }
    }
    return !path.empty() && path[0] == '.';
}

bool IsInside(const fs::path& path, const fs::path& root) {
    const auto [r, p] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
    return r == root.end();
}

}  // namespace

bool Site::Load(const std::string& dir, std::size_t maxBytes, std::string& error) {
    std::error_code ec;
    std::size_t total = 0;
    const fs::path root = fs::canonical(dir, ec);
    if (ec || !fs::is_directory(root, ec)) {
        error = "not a folder: " + dir;
        return false;
    }
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string key =
            (fs::path("/") / it->path().lexically_relative(root)).generic_string();
        if (HasDotComponent(key)) {
            if (it->is_directory(ec) && !it->is_symlink(ec)) {
                it.disable_recursion_pending();
            }
            continue;
        }
        fs::path source = it->path();
        if (it->is_symlink(ec)) {
            // Served under its own name, but only when it ends at a regular file of the site;
            // a link out of the folder would publish whatever it points to.
            const fs::path target = fs::canonical(source, ec);
            if (ec || !IsInside(target, root) || !fs::is_regular_file(target, ec) ||
                HasDotComponent(
                    (fs::path("/") / target.lexically_relative(root)).generic_string())) {
                std::fprintf(
                    stderr,
                    "vetrix-serve: --site: skipping %s, a link that does not end at a file of %s\n",
                    key.c_str(), dir.c_str());
                ec.clear();
                continue;
            }
            source = target;
        } else if (!it->is_regular_file(ec)) {
            ec.clear();
            continue;
        }
        // A link was resolved above; the file read is not to be swapped for one meanwhile, and
        // its size is checked on the open file before a byte is read.
        const FileBytes read = ReadFileBytes(source.string(), maxBytes - total, false);
        if (read.error == std::errc::file_too_large) {
            error = "more than " + std::to_string(maxBytes) + " bytes in " + dir + " (at " +
                    it->path().string() + ")";
            return false;
        }
        if (read.error) {
            error = "cannot read " + it->path().string();
            return false;
        }
        std::string bytes(read.bytes.begin(), read.bytes.end());
        total += bytes.size();
        files_[key] = File{ContentType(it->path()), CacheControl(it->path()), std::move(bytes)};
    }
    if (ec) {
        error = "cannot read " + dir + ": " + ec.message();
        return false;
    }
    return true;
}

const Site::File* Site::Find(const std::string& target) const {
    std::string path = target.substr(0, target.find_first_of("?#"));
    std::string decoded;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '%' && i + 2 < path.size() && HexValue(path[i + 1]) >= 0 &&
            HexValue(path[i + 2]) >= 0) {
            decoded += static_cast<char>(HexValue(path[i + 1]) * 16 + HexValue(path[i + 2]));
            i += 2;
        } else {
            decoded += path[i];
        }
    }
    if (!decoded.empty() && decoded.back() == '/') {
        decoded += "index.html";
    }
    if (HasDotComponent(decoded)) {
        return nullptr;
    }
    const auto it = files_.find(decoded);
    return it != files_.end() ? &it->second : nullptr;
}
