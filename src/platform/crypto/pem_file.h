#pragma once
// PEM files of the certificate store: the personal certificate a file holds, and its key.

#include <string>
#include <string_view>

#include "core/user_interface.h"
#include "platform/crypto/key_prompts.h"
#include "platform/crypto/store_files.h"

namespace korvalo {

// The personal certificate of a PEM file's content: with several certificates the one that
// matches an unencrypted key, else the first that is not a CA, else the first. A file without
// a private key or without a certificate lists nothing.
[[nodiscard]] ListedCertificate ReadPemStoreCertificate(std::string_view content);

// The private key of a PEM file's content. An encrypted key asks prompt (what names the file)
// until a password opens it: a wrong one asks again with retry, a cancelled prompt gives
// kErrorCancelled, no prompt kNteSilentContext; no key kCryptENoKeyProperty, a damaged one
// kNteBadKey.
[[nodiscard]] KeyResult LoadPemKey(std::string_view content, IKeyPasswordPrompt* prompt,
                                   const std::string& what);

}  // namespace korvalo
