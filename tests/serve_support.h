#pragma once

// vetrix-serve run by a test: the program started on a port the system chooses on 127.0.0.1,
// and plain sockets to talk HTTP to it.

#include <sys/types.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A running vetrix-serve; killed when the object goes.
class ServeProcess {
public:
    // Starts the program with `args` after --listen 127.0.0.1:0 and waits until it listens;
    // throws when it does not start.
    explicit ServeProcess(std::vector<std::string> args);
    ~ServeProcess();
    ServeProcess(const ServeProcess&) = delete;
    ServeProcess& operator=(const ServeProcess&) = delete;

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    // Exit status, or 128 + signal.
    int Wait();
    // What it wrote to standard error so far.
    std::string Log();

private:
    pid_t pid_ = -1;
    int err_ = -1;
    int port_ = 0;
    std::thread reader_;
    std::mutex mutex_;
    std::string log_;
};

// vetrix-serve run to its end: for options that make it exit.
struct ServeRun {
    int status = -1;     // exit status, or 128 + signal
    std::string out;     // standard output
    std::string err;     // standard error
    long maxRssKiB = 0;  // its peak resident set size
};
ServeRun RunServe(const std::vector<std::string>& args);

struct HttpReply {
    int status = 0;
    std::string head;
    std::string body;
    std::string Header(const std::string& name) const;
};

// A connection to 127.0.0.1:`port` from the loopback address `from` (127.0.0.1, 127.0.0.2,
// ...: every address of 127/8 is this machine's), or -1.
int Connect(int port, const char* from = "127.0.0.1");
bool SendAll(int fd, const std::string& data);
// Reads until the server closes, and splits the answer.
HttpReply ReadReply(int fd);
// One request on a connection of its own.
HttpReply Request(int port, const std::string& method, const std::string& target,
                  const std::string& body = {}, const std::string& headers = {},
                  const char* from = "127.0.0.1");
// The value of a counter or gauge line "name value" of /metrics, or -1.
long MetricValue(int port, const std::string& name);
