#include "support/netns.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/unique_fd.h"
#include "support/processes.h"

namespace korvalo::testing {

namespace {

void Ip(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"ip"};
    argv.insert(argv.end(), args.begin(), args.end());
    const CommandResult result = RunCommand(argv);
    if (result.exitCode != 0) {
        std::string command;
        for (const std::string& a : argv)
            command += (command.empty() ? "" : " ") + a;
        throw std::runtime_error(command + " failed: " + result.output);
    }
}

}  // namespace

std::optional<std::string> VethNamespaces::Unavailable() {
    if (::geteuid() != 0)
        return std::string("network namespaces need root; this test runs as uid ") +
               std::to_string(::geteuid());
    const CommandResult probe = RunCommand({"ip", "-V"});
    if (probe.exitCode != 0)
        return std::string("the \"ip\" command (iproute2) is not installed");
    return std::nullopt;
}

VethNamespaces::VethNamespaces() {
    static std::atomic<int> counter{0};
    // Interface names have at most 15 characters: "kv" + pid + sequence + side letter.
    prefix_ = "kv" + std::to_string(::getpid() % 1000000) + "n" + std::to_string(counter++ % 100);
    try {
        Ip({"netns", "add", Name(Side::Host)});
        hostMade_ = true;
        Ip({"netns", "add", Name(Side::Peer)});
        peerMade_ = true;
        Ip({"link", "add", prefix_ + "h", "netns", Name(Side::Host), "type", "veth", "peer", "name",
            prefix_ + "p", "netns", Name(Side::Peer)});
        for (const Side side : {Side::Host, Side::Peer}) {
            const std::string ns = Name(side);
            const std::string dev = prefix_ + (side == Side::Host ? "h" : "p");
            Ip({"-n", ns, "link", "set", "lo", "up"});
            Ip({"-n", ns, "addr", "add", Address(side) + "/24", "dev", dev});
            Ip({"-n", ns, "link", "set", dev, "up"});
        }
    } catch (...) {
        Remove();
        throw;
    }
}

VethNamespaces::~VethNamespaces() {
    Remove();
}

void VethNamespaces::Remove() {
    if (peerMade_)
        RunCommand({"ip", "netns", "del", Name(Side::Peer)});
    if (hostMade_)
        RunCommand({"ip", "netns", "del", Name(Side::Host)});
    peerMade_ = hostMade_ = false;
}

std::string VethNamespaces::Address(Side side) {
    return side == Side::Host ? "10.77.0.1" : "10.77.0.2";
}

std::string VethNamespaces::Name(Side side) const {
    return prefix_ + (side == Side::Host ? "-host" : "-peer");
}

void VethNamespaces::RunIn(Side side, const std::function<void()>& fn) const {
    const std::string path = "/run/netns/" + Name(side);
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            const UniqueFd ns(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
            if (!ns.ok())
                throw std::runtime_error("open " + path + ": " + std::strerror(errno));
            // A network namespace belongs to one thread: only this thread moves.
            if (::setns(ns.get(), CLONE_NEWNET) != 0)
                throw std::runtime_error("setns " + path + ": " + std::strerror(errno));
            fn();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    worker.join();
    if (failure)
        std::rethrow_exception(failure);
}

}  // namespace korvalo::testing
