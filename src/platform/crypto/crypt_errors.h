#pragma once
// Error codes as the platform's cryptographic interface gives them, and their Russian texts.

#include <cstdint>
#include <string>

namespace korvalo {

inline constexpr std::uint32_t kErrorFileNotFound = 2;             // ERROR_FILE_NOT_FOUND
inline constexpr std::uint32_t kErrorPathNotFound = 3;             // ERROR_PATH_NOT_FOUND
inline constexpr std::uint32_t kErrorAccessDenied = 5;             // ERROR_ACCESS_DENIED
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;          // ERROR_NOT_ENOUGH_MEMORY
inline constexpr std::uint32_t kErrorReadFault = 30;               // ERROR_READ_FAULT
inline constexpr std::uint32_t kErrorFileTooLarge = 223;           // ERROR_FILE_TOO_LARGE
inline constexpr std::uint32_t kErrorCancelled = 1223;             // ERROR_CANCELLED
inline constexpr std::uint32_t kNteBadHash = 0x80090002;           // NTE_BAD_HASH
inline constexpr std::uint32_t kNteBadKey = 0x80090003;            // NTE_BAD_KEY
inline constexpr std::uint32_t kNteBadAlgId = 0x80090008;          // NTE_BAD_ALGID
inline constexpr std::uint32_t kNteNoMemory = 0x8009000E;          // NTE_NO_MEMORY
inline constexpr std::uint32_t kNteBadKeyset = 0x80090016;         // NTE_BAD_KEYSET
inline constexpr std::uint32_t kNteFail = 0x80090020;              // NTE_FAIL
inline constexpr std::uint32_t kNteSilentContext = 0x80090022;     // NTE_SILENT_CONTEXT
inline constexpr std::uint32_t kNteNotSupported = 0x80090029;      // NTE_NOT_SUPPORTED
inline constexpr std::uint32_t kCryptENoKeyProperty = 0x8009200B;  // CRYPT_E_NO_KEY_PROPERTY
// Tokens and smart cards.
inline constexpr std::uint32_t kScardWRemovedCard = 0x80100069;  // SCARD_W_REMOVED_CARD
inline constexpr std::uint32_t kScardWWrongChv = 0x8010006B;     // SCARD_W_WRONG_CHV
inline constexpr std::uint32_t kScardWChvBlocked = 0x8010006C;   // SCARD_W_CHV_BLOCKED

// The system's Russian message text for a code of the list above; other codes give
// "Неизвестная ошибка " + the code in unsigned decimal.
std::string CryptErrorText(std::uint32_t code);

// The code of the list above for the errno of a failed file operation: ENOENT file not found;
// ENOTDIR and ENAMETOOLONG path not found; EACCES, EPERM and EISDIR access denied; ENOMEM not
// enough memory; EFBIG file too large; anything else a read fault.
std::uint32_t ErrorCodeFromErrno(int err);

}  // namespace korvalo
