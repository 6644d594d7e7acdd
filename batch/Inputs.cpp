#include "batch/Inputs.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "engine/Decode.h"

namespace fs = std::filesystem;

PhotoSource::PhotoSource(std::vector<std::string> arguments) : arguments_(std::move(arguments)) {}

bool PhotoSource::HasPhotoExtension(const std::string& path) {
    std::string ext = Utf8FromPath(PathFromUtf8(path).extension());
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::vector<std::string> endings = PhotoFileEndings();
    return std::find(endings.begin(), endings.end(), ext) != endings.end();
}

std::string PhotoSource::Enter(const std::string& folder) {
    Folder listing;
    std::error_code ec;
    for (fs::directory_iterator it(PathFromUtf8(folder), ec), end; !ec && it != end;
         it.increment(ec)) {
        listing.entries.push_back(Utf8FromPath(it->path()));
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
            const fs::file_status type = fs::symlink_status(PathFromUtf8(entry), ec);
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
            } else if (HasPhotoExtension(entry) &&
                       !fs::is_directory(fs::status(PathFromUtf8(entry), ec))) {
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
        const fs::file_status type = fs::status(PathFromUtf8(argument), ec);
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
        if (fs::is_directory(fs::status(PathFromUtf8(argument), ec))) {
            folders_.push_back(Utf8FromPath(fs::weakly_canonical(PathFromUtf8(argument), ec)));
        } else {
            Add(argument);
            named_.insert(Utf8FromPath(fs::weakly_canonical(PathFromUtf8(argument), ec)));
        }
    }
}

bool InputSet::IsNamed(const std::string& path) const {
    std::error_code ec;
    return named_.count(Utf8FromPath(fs::weakly_canonical(PathFromUtf8(path), ec))) != 0;
}

void InputSet::Add(const std::string& path) {
    const std::lock_guard lock(mutex_);
    for (const bool followLinks : {true, false}) {
        if (const std::optional<FileIdentity> id = IdentifyFile(path, followLinks)) {
            files_.insert(*id);
        }
    }
}

bool InputSet::Contains(const std::string& path) const {
    {
        const std::lock_guard lock(mutex_);
        for (const bool followLinks : {false, true}) {
            const std::optional<FileIdentity> id = IdentifyFile(path, followLinks);
            if (id && files_.count(*id) != 0) {
                return true;
            }
        }
    }
    std::error_code ec;
    const fs::path folder =
        fs::weakly_canonical(fs::absolute(PathFromUtf8(path)).parent_path(), ec);
    if (ec) {
        return true;  // cannot tell, so treat it as an input
    }
    for (const std::string& inputText : folders_) {
        const fs::path input = PathFromUtf8(inputText);
        const auto [inputEnd, unused] =
            std::mismatch(input.begin(), input.end(), folder.begin(), folder.end());
        if (inputEnd == input.end()) {
            return true;
        }
    }
    return false;
}
