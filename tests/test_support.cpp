#include "test_support.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

#ifdef _WIN32
#include <random>
#else
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#ifdef _WIN32
TempDir::TempDir() {
    std::random_device entropy;
    for (int attempt = 0; attempt < 100; ++attempt) {
        path_ =
            std::filesystem::temp_directory_path() / ("vetrix-test-" + std::to_string(entropy()));
        if (std::filesystem::create_directory(path_)) {
            return;
        }
    }
    throw std::runtime_error("no fresh temporary folder");
}
#else
TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vetrix-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}
#endif

TempDir::~TempDir() {
    std::error_code ec;
    // Tests may leave a folder read-only; make it writable again so it can go.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path_, ec)) {
        std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    }
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

std::vector<std::uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(PathFromUtf8(path), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string ReadText(const std::string& path) {
    const std::vector<std::uint8_t> bytes = ReadBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(PathFromUtf8(path), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::string TestData(const std::string& name) { return std::string(VETRIX_TEST_DATA) + "/" + name; }

#ifndef _WIN32
bool RunUnprivileged(const std::function<bool()>& body) {
    if (geteuid() != 0) {
        return body();
    }
    const pid_t child = fork();
    if (child < 0) {
        return false;
    }
    if (child == 0) {
        const passwd* nobody = getpwnam("nobody");
        const uid_t uid = nobody != nullptr ? nobody->pw_uid : 65534;
        const gid_t gid = nobody != nullptr ? nobody->pw_gid : 65534;
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
            _exit(2);
        }
        _exit(body() ? 0 : 1);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child) {
        return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void OpenToOthers(const std::filesystem::path& dir) {
    std::filesystem::permissions(dir,
                                 std::filesystem::perms::group_read |
                                     std::filesystem::perms::group_exec |
                                     std::filesystem::perms::others_read |
                                     std::filesystem::perms::others_exec,
                                 std::filesystem::perm_options::add);
}
#endif

RecordingAudit& LoadedAudit() {
    static RecordingAudit audit;
    static const bool loaded = audit.LoadFaceCascade();
    (void)loaded;
    return audit;
}
