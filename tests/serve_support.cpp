#include "serve_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace {

std::string Program() { return std::string(VETRIX_BIN_DIR) + "/vetrix-serve"; }

[[noreturn]] void Exec(std::vector<std::string>& args) {
    const std::string program = Program();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

std::string ReadAll(int fd) {
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) {
        text.append(buf, static_cast<std::size_t>(n));
    }
    return text;
}

}  // namespace

ServeProcess::ServeProcess(std::vector<std::string> args) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    args.insert(args.begin(), {"--listen", "127.0.0.1:0"});
    pid_ = fork();
    if (pid_ == 0) {
        dup2(pipeFds[1], 2);
        Exec(args);
    }
    close(pipeFds[1]);
    err_ = pipeFds[0];
    // The line that names the port; reading up to it waits for the server to be listening.
    std::string line;
    for (char c; read(err_, &c, 1) == 1;) {
        if (c != '\n') {
            line += c;
            continue;
        }
        log_ += line + "\n";
        const auto at = line.find("listening on 127.0.0.1:");
        if (at != std::string::npos) {
            port_ = std::stoi(line.substr(at + 23));
            break;
        }
        line.clear();
    }
    if (port_ == 0) {
        throw std::runtime_error("vetrix-serve did not start: " + log_ + line);
    }
    reader_ = std::thread([this] {
        char buf[4096];
        for (ssize_t n; (n = read(err_, buf, sizeof buf)) > 0;) {
            std::lock_guard lock(mutex_);
            log_.append(buf, static_cast<std::size_t>(n));
        }
    });
}

ServeProcess::~ServeProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        Wait();
    }
    if (reader_.joinable()) {
        reader_.join();
    }
    close(err_);
}

int ServeProcess::Wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    if (reader_.joinable()) {
        reader_.join();
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ServeProcess::Log() {
    std::lock_guard lock(mutex_);
    return log_;
}

ServeRun RunServe(const std::vector<std::string>& args) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        std::vector<std::string> copy = args;
        Exec(copy);
    }
    close(out[1]);
    close(err[1]);
    ServeRun run;
    std::thread errReader([&] { run.err = ReadAll(err[0]); });
    run.out = ReadAll(out[0]);
    errReader.join();
    close(out[0]);
    close(err[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.maxRssKiB = usage.ru_maxrss;
    return run;
}

std::string HttpReply::Header(const std::string& name) const {
    std::string lowerHead = head, key = "\r\n" + name + ":";
    std::transform(lowerHead.begin(), lowerHead.end(), lowerHead.begin(), ::tolower);
    std::transform(key.begin(), key.end(), key.begin(), ::tolower);
    const auto at = lowerHead.find(key);
    if (at == std::string::npos) {
        return {};
    }
    const auto start = head.find_first_not_of(' ', at + key.size());
    return head.substr(start, head.find("\r\n", start) - start);
}

int Connect(int port, const char* from) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    inet_pton(AF_INET, from, &source.sin_addr);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

HttpReply ReadReply(int fd) {
    std::string raw;
    char buf[65536];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) {
        raw.append(buf, static_cast<std::size_t>(n));
    }
    HttpReply reply;
    const auto end = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) {
        return reply;
    }
    reply.status = std::stoi(raw.substr(9, 3));
    reply.head = raw.substr(0, end);
    reply.body = raw.substr(end + 4);
    return reply;
}

HttpReply Request(int port, const std::string& method, const std::string& target,
                  const std::string& body, const std::string& headers, const char* from) {
    const int fd = Connect(port, from);
    if (fd < 0) {
        return {};
    }
    SendAll(fd, method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                    headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    HttpReply reply = ReadReply(fd);
    close(fd);
    return reply;
}

long MetricValue(int port, const std::string& name) {
    const std::string text = Request(port, "GET", "/metrics").body;
    const auto at = text.find("\n" + name + " ");
    return at == std::string::npos ? -1 : std::stol(text.substr(at + name.size() + 2));
}
