#pragma once
// How the store asks for the password of a protected key: the result of taking a key, and the
// bridge from OpenSSL's PEM password callback to IKeyPasswordPrompt (one answer per attempt).

#include <cstdint>
#include <string>

#include "core/user_interface.h"
#include "platform/crypto/openssl_handles.h"

namespace korvalo {

// A private key taken from the store, or why it could not be taken.
struct KeyResult {
    EvpPkeyPtr key;           // set on success
    std::uint32_t error = 0;  // 0 on success; kErrorCancelled when the user cancelled
    std::string message;      // the Russian text of error (empty on success)
};

// A failed KeyResult with code and its text.
KeyResult KeyError(std::uint32_t code);

// The state of one PEM key read; pass it to OpenSSL with AskPemPassword as the callback.
struct PemPasswordState {
    IKeyPasswordPrompt* prompt = nullptr;
    std::string what;
    bool retry = false;
    bool asked = false;
    bool cancelled = false;
    bool noPrompt = false;
};

// OpenSSL's password callback: asks state's prompt once per attempt (u is the
// PemPasswordState); -1 when there is no prompt, it was cancelled or already answered.
int AskPemPassword(char* buf, int size, int rwflag, void* u);

}  // namespace korvalo
