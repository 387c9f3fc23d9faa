#pragma once
// Result codes of the stand-in AvCryptMail and their texts.

#include <cstdint>
#include <optional>
#include <string>

#include "services/engines/avcryptmail_api.h"

namespace korvalo::avcm {

// Codes of its own beyond the common ones of the call contract.
inline constexpr AvCmResult kStoreNotOpened = 0xE82A0110u;
inline constexpr AvCmResult kCertificateNotFound = 0xE82A0111u;
inline constexpr AvCmResult kKeyNotAvailable = 0xE82A0112u;
inline constexpr AvCmResult kKeyPasswordCancelled = 0xE82A0113u;
inline constexpr AvCmResult kKeyPasswordWrong = 0xE82A0114u;
inline constexpr AvCmResult kConnectionWithoutKey = 0xE82A0115u;
inline constexpr AvCmResult kKeyAlgorithmNotSupported = 0xE82A0116u;
inline constexpr AvCmResult kSigningFailed = 0xE82A0120u;
inline constexpr AvCmResult kMessageState = 0xE82A0121u;
inline constexpr AvCmResult kAttrCertNotValidNow = 0xE82A0122u;
inline constexpr AvCmResult kAttrCertOtherHolder = 0xE82A0123u;
inline constexpr AvCmResult kNotAvailable = 0xE82A0130u;
inline constexpr AvCmResult kInternalError = 0xE82A0131u;

// The UTF-8 text of one of the library's own codes; nothing for a code it does not give
// (AVCM_E_NOT_SUPPORTED is the binding's, not the library's).
std::optional<std::string> CodeText(AvCmResult code);

}  // namespace korvalo::avcm
