#pragma once
// Programs that tests run: a command run to its end with its output, a server program that
// announces its port on its first line of output (and this project's stand-in servers among
// them), and a loopback port nobody listens on.

#include <sys/types.h>

#include <string>
#include <vector>

#include "core/unique_fd.h"

namespace korvalo::testing {

struct CommandResult {
    int exitCode = -1;   // the program's exit status; -1 when it could not run or was killed
    std::string output;  // standard output and standard error together
};

// Runs argv[0] (searched in PATH) with the arguments, stdin from /dev/null, and waits.
CommandResult RunCommand(const std::vector<std::string>& argv);

// A server program started by a test: argv[0] (a path) runs with standard output on a pipe
// and announces where it listens as its first line, announcement followed by the port. The
// constructor returns once that line has come (within 30 seconds) and throws otherwise; the
// destructor ends the program with SIGTERM and waits for it. The program also ends when the
// test process does, even when a test crashes.
class ServiceProcess {
public:
    ServiceProcess(const std::vector<std::string>& argv, const std::string& announcement);
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    unsigned short port() const { return port_; }
    // True while the program runs (it has not exited or crashed).
    bool Running();

private:
    void Stop();

    pid_t pid_ = -1;
    UniqueFd output_;  // read end of the program's standard output
    unsigned short port_ = 0;
};

// One of this project's stand-in servers: program --port 0 args..., which announces
// "listening on 127.0.0.1:" and its port once it listens.
class StandInServer : public ServiceProcess {
public:
    StandInServer(const std::string& program, const std::vector<std::string>& args);
};

// The program a test runs: the one the environment variable names when it is set and not
// empty, otherwise built (the path the build gave).
std::string ProgramFor(const char* variable, const std::string& built);

// A port of 127.0.0.1 on which nothing listens at the moment of the call.
unsigned short FreeLoopbackPort();

}  // namespace korvalo::testing
