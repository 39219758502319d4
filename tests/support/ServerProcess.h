#pragma once

// A server that a test runs as a real process on 127.0.0.1: started with its arguments, ready once it
// has printed "ready PORT" on its standard output, stopped (SIGTERM, then SIGKILL) and reaped when the
// object goes. Its standard error goes to a file the test can read.

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace lumo::test {

class ServerProcess {
public:
    ServerProcess() = default;
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts `program` with `args` (and `env` added to the environment) and waits at most `timeout`
    // for its ready line. False, with the reason in error(), when it did not start or never got ready;
    // the process is then stopped.
    bool start(const std::string& program, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env = {},
               std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Stops it: SIGTERM, then SIGKILL after `grace`; reaps it. Nothing when it is not running.
    void stop(std::chrono::milliseconds grace = std::chrono::seconds(3));
    // Kills it at once (SIGKILL) and reaps it, as a crash would.
    void kill();
    bool running() const { return m_pid > 0; }

    // The port of its ready line.
    int port() const { return m_port; }
    pid_t pid() const { return m_pid; }
    // What it wrote on its standard error so far.
    std::string errors() const;
    const std::string& error() const { return m_error; }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    int m_port = 0;
    std::string m_errFile;
    std::string m_error;
};

// The folder of the test servers' scripts (tests/support/servers).
std::string testServerScript(const std::string& name);

} // namespace lumo::test
