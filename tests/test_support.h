#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/PhotoAudit.h"
#include "platform/Files.h"

// An audit that records what a window does with each verdict: the log line, the save button
// shown enabled on a pass, a repaint. Nothing is recorded for an audit that reaches no verdict.
class RecordingAudit : public CPhotoAudit {
public:
    std::vector<std::string> lines;
    std::vector<bool> saveButton;
    int repaints = 0;

    std::error_code AuditFile(const std::string& path, const std::string& fileName) {
        const std::error_code error = CPhotoAudit::AuditFile(path, fileName);
        if (!error) {
            Record();
        }
        return error;
    }
    void AuditPhoto(const cv::Mat& photo, std::uint64_t fileLength) {
        CPhotoAudit::AuditPhoto(photo, fileLength);
        Record();
    }
    void JudgePhoto(const cv::Rect& face, const cv::Mat& photo, std::uint64_t fileLength) {
        CPhotoAudit::JudgePhoto(face, photo, fileLength);
        Record();
    }

private:
    void Record() {
        lines.push_back(VerdictLine());
        if (m_nState == Passed) {
            saveButton.push_back(true);
        }
        ++repaints;
    }
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
    /// The path of `name` (UTF-8) in the folder, in UTF-8 as the platform's functions take it.
    std::string file(const std::string& name) const {
        return Utf8FromPath(path_ / PathFromUtf8(name));
    }

private:
    std::filesystem::path path_;
};

std::vector<std::uint8_t> ReadBytes(const std::string& path);
std::string ReadText(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::string TestData(const std::string& name);

#ifndef _WIN32
// Runs `body` without root's power to read and write any file: directly when the process is
// not privileged, else in a child process that has switched to the user "nobody". Returns what
// `body` returned. Folders the body must reach need to be open to others (see OpenToOthers).
bool RunUnprivileged(const std::function<bool()>& body);

// Lets other users enter `dir` (the temporary folders are private by default).
void OpenToOthers(const std::filesystem::path& dir);
#endif
