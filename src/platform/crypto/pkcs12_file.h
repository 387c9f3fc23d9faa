#pragma once
// PKCS#12 files of the certificate store: the personal certificate a file shows without its
// password (or its companion certificate file), and its key.

#include <filesystem>
#include <string>
#include <string_view>

#include "core/user_interface.h"
#include "platform/crypto/key_prompts.h"
#include "platform/crypto/store_files.h"

namespace korvalo {

// The personal certificate of the PKCS#12 file file with that content, read without asking
// for a password: the certificate whose local key identifier matches the key's, else the only
// one, else the first that is not a CA. When the certificates are encrypted with the password,
// the companion certificate beside the file (".crt" or ".cer", PEM or DER).
ListedCertificate ReadPkcs12StoreCertificate(std::string_view content,
                                             const std::filesystem::path& file);

// The private key of a PKCS#12 file's content. A file without a password (or with the empty
// one) opens silently; otherwise prompt is asked (what names the file) until a password opens
// it: a wrong one asks again with retry, a cancelled prompt gives kErrorCancelled, no prompt
// kNteSilentContext; a file that is no PKCS#12 kNteBadKeyset, a right password over damaged
// contents kNteBadKey, no key kCryptENoKeyProperty.
KeyResult LoadPkcs12Key(std::string_view content, IKeyPasswordPrompt* prompt,
                        const std::string& what);

}  // namespace korvalo
