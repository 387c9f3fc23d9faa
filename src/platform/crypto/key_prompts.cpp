#include "platform/crypto/key_prompts.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "platform/crypto/crypt_errors.h"

namespace korvalo {

KeyResult KeyError(std::uint32_t code) {
    KeyResult r;
    r.error = code;
    r.message = CryptErrorText(code);
    return r;
}

int AskPemPassword(char* buf, int size, int, void* u) {
    auto* state = static_cast<PemPasswordState*>(u);
    if (state->asked || state->cancelled || state->noPrompt)
        return -1;  // one answer per attempt
    if (state->prompt == nullptr) {
        state->noPrompt = true;
        return -1;
    }
    std::optional<std::string> password = state->prompt->AskKeyPassword(state->what, state->retry);
    if (!password) {
        state->cancelled = true;
        return -1;
    }
    state->asked = true;
    const int len = static_cast<int>(std::min<std::size_t>(password->size(), size));
    std::memcpy(buf, password->data(), static_cast<std::size_t>(len));
    return len;
}

}  // namespace korvalo
