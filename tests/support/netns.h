#pragma once
// Two network namespaces that a test makes for itself, joined by a veth pair: a "host" side
// and a "peer" side, each with one private address. Code runs inside either on a thread of
// its own, so nothing the test sends leaves these namespaces.

#include <functional>
#include <optional>
#include <string>

namespace korvalo::testing {

class VethNamespaces {
public:
    enum class Side { Host, Peer };

    // Why the namespaces cannot be made here (not root, no "ip" command, no permission),
    // or nothing when they can.
    static std::optional<std::string> Unavailable();

    // Makes both namespaces (loopback up in each), the veth pair and the addresses. Throws
    // std::runtime_error, naming the failing command, when that fails.
    VethNamespaces();
    // Deletes both namespaces (and with them the veth pair).
    ~VethNamespaces();
    VethNamespaces(const VethNamespaces&) = delete;
    VethNamespaces& operator=(const VethNamespaces&) = delete;

    // The address of each side on the veth link ("10.77.0.1" host, "10.77.0.2" peer).
    static std::string Address(Side side);

    // Runs fn on a new thread that has entered the side's namespace and waits for it;
    // exceptions of fn pass through. Sockets made by fn (and threads it starts) stay in that
    // namespace.
    void RunIn(Side side, const std::function<void()>& fn) const;

private:
    std::string Name(Side side) const;
    void Remove();

    std::string prefix_;
    bool hostMade_ = false;
    bool peerMade_ = false;
};

}  // namespace korvalo::testing
