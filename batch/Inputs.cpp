#include "batch/Inputs.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include <sys/stat.h>

#include "engine/Decode.h"

namespace fs = std::filesystem;

PhotoSource::PhotoSource(std::vector<std::string> arguments) : arguments_(std::move(arguments)) {}

bool PhotoSource::HasPhotoExtension(const std::string& path) {
    std::string ext = fs::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::vector<std::string> endings = PhotoFileEndings();
    return std::find(endings.begin(), endings.end(), ext) != endings.end();
}

std::string PhotoSource::Enter(const std::string& folder) {
    Folder listing;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        listing.entries.push_back(it->path().string());
    }
    std::sort(listing.entries.begin(), listing.entries.end());
    stack_.push_back(std::move(listing));
    return ec ? "cannot read folder: " + ec.message() : "";
}

std::optional<PhotoInput> PhotoSource::Next() {
    for (;;) {
        if (!stack_.empty()) {
            Folder& folder = stack_.back();
            if (folder.next == folder.entries.size()) {
                stack_.pop_back();
                continue;
            }
            std::string entry = folder.entries[folder.next++];
            std::error_code ec;
            // Linked folders are not followed, so a link cannot lead the walk in circles.
            const fs::file_status type = fs::symlink_status(entry, ec);
            if (ec == std::errc::no_such_file_or_directory) {
                continue;  // gone since the folder was listed: it is no longer among the inputs
            }
            if (ec) {
                // Neither photo nor folder can be told (a name too long, say): say so.
                return PhotoInput{entry, "cannot read: " + ec.message()};
            }
            if (fs::is_directory(type)) {
                std::string error = Enter(entry);
                if (!error.empty()) {
                    return PhotoInput{entry, std::move(error)};
                }
            } else if (HasPhotoExtension(entry) && !fs::is_directory(fs::status(entry, ec))) {
                return PhotoInput{entry, ""};
            }
            continue;
        }
        if (nextArgument_ == arguments_.size()) {
            return std::nullopt;
        }
        std::string argument = arguments_[nextArgument_++];
        if (argument == kStandardInputName) {
            return PhotoInput{argument, ""};
        }
        std::error_code ec;
        const fs::file_status type = fs::status(argument, ec);
        if (fs::is_directory(type)) {
            std::string error = Enter(argument);
            if (!error.empty()) {
                return PhotoInput{argument, std::move(error)};
            }
            continue;
        }
        // Whatever else it is, the reading says what is wrong with it (no such file, permission
        // denied, not a regular file), on the photo's own line.
        return PhotoInput{argument, ""};
    }
}

InputSet::InputSet(const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        std::error_code ec;
        if (fs::is_directory(fs::status(argument, ec))) {
            folders_.push_back(fs::weakly_canonical(argument, ec).string());
        } else {
            Add(argument);
            named_.insert(fs::weakly_canonical(argument, ec).string());
        }
    }
}

bool InputSet::IsNamed(const std::string& path) const {
    std::error_code ec;
    return named_.count(fs::weakly_canonical(path, ec).string()) != 0;
}

void InputSet::Add(const std::string& path) {
    const std::lock_guard lock(mutex_);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        files_.emplace(st.st_dev, st.st_ino);
    }
    if (::lstat(path.c_str(), &st) == 0) {
        files_.emplace(st.st_dev, st.st_ino);
    }
}

bool InputSet::Contains(const std::string& path) const {
    {
        const std::lock_guard lock(mutex_);
        struct stat st {};
        if ((::lstat(path.c_str(), &st) == 0 && files_.count({st.st_dev, st.st_ino}) != 0) ||
            (::stat(path.c_str(), &st) == 0 && files_.count({st.st_dev, st.st_ino}) != 0)) {
            return true;
        }
    }
    std::error_code ec;
    const fs::path folder = fs::weakly_canonical(fs::absolute(path).parent_path(), ec);
    if (ec) {
        return true;  // cannot tell, so treat it as an input
    }
    for (const std::string& inputText : folders_) {
        const fs::path input(inputText);
        const auto [inputEnd, unused] =
            std::mismatch(input.begin(), input.end(), folder.begin(), folder.end());
        if (inputEnd == input.end()) {
            return true;
        }
    }
    return false;
}
