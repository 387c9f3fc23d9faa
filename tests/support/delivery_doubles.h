#pragma once
// Test doubles of the delivery's outside world: a tinyproxy process (the recording log and
// notifier and the scripted login dialog come from support/recording_doubles.h).

#include <filesystem>
#include <string>

#include <sys/types.h>

#include "core/log_sink.h"
#include "core/user_interface.h"
#include "support/files.h"
#include "support/recording_doubles.h"

namespace korvalo::testing {

// tinyproxy in the foreground on a free loopback port with Basic authentication, stopped at
// the end.
class TinyProxy {
public:
    TinyProxy(const std::string& user, const std::string& password);
    ~TinyProxy();
    TinyProxy(const TinyProxy&) = delete;
    TinyProxy& operator=(const TinyProxy&) = delete;
    int Port() const { return port_; }
    // What tinyproxy logged.
    std::string Log() const;

private:
    TempDir dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace korvalo::testing
