#include "serve/Site.h"

#include <filesystem>
#include <fstream>
#include <iterator>

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
    };
    const auto it = types.find(file.extension().string());
    return it != types.end() ? it->second : "application/octet-stream";
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool Site::Load(const std::string& dir, std::size_t maxBytes, std::string& error) {
    std::error_code ec;
    std::size_t total = 0;
    const fs::path root(dir);
    if (!fs::is_directory(root, ec)) {
        error = "not a folder: " + dir;
        return false;
    }
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file(ec)) {
            continue;
        }
        std::ifstream in(it->path(), std::ios::binary);
        std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (!in && !in.eof()) {
            error = "cannot read " + it->path().string();
            return false;
        }
        total += bytes.size();
        if (total > maxBytes) {
            error = "more than " + std::to_string(maxBytes) + " bytes in " + dir;
            return false;
        }
        const std::string key = (fs::path("/") / fs::relative(it->path(), root)).generic_string();
        files_[key] = File{ContentType(it->path()), std::move(bytes)};
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
    const auto it = files_.find(decoded);
    return it != files_.end() ? &it->second : nullptr;
}
