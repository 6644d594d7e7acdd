#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/PhotoAudit.h"

// An audit that records what the ladder asks of its shell.
class RecordingAudit : public CPhotoAudit {
public:
    std::vector<std::string> lines;
    std::vector<bool> saveButton;
    int repaints = 0;

protected:
    void WriteVerdictLine(const std::string& line) override { lines.push_back(line); }
    void ShowSaveButton(bool enabled) override { saveButton.push_back(enabled); }
    void RequestRepaint() override { ++repaints; }
};

// One RecordingAudit per test program with the face cascade loaded (loading it takes a while);
// its cascade is empty when none could be loaded.
RecordingAudit& LoadedAudit();

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

std::vector<std::uint8_t> ReadBytes(const std::string& path);
std::string ReadText(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::string TestData(const std::string& name);

// Runs `body` without root's power to read and write any file: directly when the process is
// not privileged, else in a child process that has switched to the user "nobody". Returns what
// `body` returned. Folders the body must reach need to be open to others (see OpenToOthers).
bool RunUnprivileged(const std::function<bool()>& body);

// Lets other users enter `dir` (the temporary folders are private by default).
void OpenToOthers(const std::filesystem::path& dir);
