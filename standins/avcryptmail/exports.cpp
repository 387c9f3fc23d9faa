// The exported C entry points of the stand-in AvCryptMail: one lock around every call, the
// injected failures, the trace line, then the operation.

#define AVCM_DECLARE_EXPORTS
#include "services/engines/avcryptmail_api.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "call_control.h"
#include "codes.h"
#include "library.h"

using korvalo::avcm::CallControl;
using korvalo::avcm::kInternalError;
using korvalo::avcm::kNotAvailable;
using korvalo::avcm::Library;

namespace {

struct Global {
    std::mutex mutex;
    Library library;
    CallControl control;
};

Global& G() {
    static Global global;
    return global;
}

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

std::string Code(AvCmResult r) {
    return r == AVCM_OK ? "0" : Hex(r);
}

std::string Flags(std::uint32_t flags) {
    return "flags=" + Hex(flags);
}

// A zero-terminated text parameter for the trace (at most 256 bytes shown).
std::string Text(const void* value) {
    if (value == nullptr)
        return "null";
    const char* text = static_cast<const char*>(value);
    std::string shown;
    for (std::size_t i = 0; i < 256 && text[i] != '\0'; ++i)
        shown += text[i];
    return "\"" + shown + "\"";
}

std::string Buffer(const void* buffer, const std::uint32_t* length) {
    return std::string(buffer == nullptr ? "null" : "buffer") +
           ", length=" + (length == nullptr ? "null" : std::to_string(*length));
}

std::string Uint(const void* value) {
    return value == nullptr ? "null" : Hex(*static_cast<const std::uint32_t*>(value));
}

std::string HandleAt(const Library& lib, const void* value) {
    return value == nullptr ? "null" : lib.Name(*static_cast<const AvCmHandle*>(value));
}

// How to show the value of a parameter entry, by its id.
std::string ParamValue(const Library& lib, std::uint32_t id, const void* value) {
    switch (id) {
        case AVCM_PARAM_LOGIN_MODE:
        case AVCM_PARAM_STORE_KIND:
            return Uint(value);
        case AVCM_PARAM_KEY_ID:
        case AVCM_PARAM_SERIAL:
            return Text(value);
        case AVCM_PARAM_ATTR_CERTS_OF:
            return HandleAt(lib, value);
        default:
            return value == nullptr ? "null" : "?";
    }
}

std::string LoginParams(const Library& lib, std::uint32_t count, const AvCmLoginParam* p) {
    if (p == nullptr)
        return "null";
    std::string text = "[";
    for (std::uint32_t i = 0; i < count && i < 16; ++i)
        text +=
            (i ? ", {" : "{") + Hex(p[i].id) + ", " + ParamValue(lib, p[i].id, p[i].value) + "}";
    return text + "]";
}

std::string FindParams(const Library& lib, std::uint32_t count, const AvCmFindParam* p) {
    if (p == nullptr)
        return "null";
    std::string text = "[";
    for (std::uint32_t i = 0; i < count && i < 16; ++i)
        text += (i ? ", {" : "{") + Hex(p[i].id) + ", " + std::to_string(p[i].reserved) + ", " +
                ParamValue(lib, p[i].id, p[i].value) + "}";
    return text + "]";
}

enum class Need { Nothing, Init };

// Runs one call: under the lock, counts it against the injected failures, runs body unless
// one applies, and traces it. describe gives the call's arguments as the trace shows them.
template <typename Describe, typename Body>
AvCmResult Entry(const char* name, Need need, Describe&& describe, Body&& body) noexcept {
    try {
        Global& g = G();
        std::lock_guard lock(g.mutex);
        const std::string arguments = describe(g.library);
        std::string out;
        AvCmResult r;
        const auto injected = g.control.Count(name);
        if (injected)
            r = *injected;
        else if (need == Need::Init && !g.library.Initialized())
            r = AVCM_E_NOT_INITIALIZED;
        else
            r = body(g.library, out);
        std::string line = std::string(name) + "(" + arguments + ") = " + Code(r);
        if (injected)
            line += " (injected)";
        if (!out.empty())
            line += " -> " + out;
        g.control.Trace(line);
        for (const std::string& note : g.library.TakeNotes())
            g.control.Trace("# " + note);
        return r;
    } catch (...) {
        return kInternalError;
    }
}

// An entry point this library exports for the binding's version gates but does not offer.
template <typename Describe>
AvCmResult NotAvailable(const char* name, Describe&& describe) noexcept {
    return Entry(name, Need::Nothing, describe,
                 [](Library&, std::string&) { return kNotAvailable; });
}

}  // namespace

extern "C" {

AvCmResult AvCmInit(uint32_t mode) {
    if (mode == AVCM_INIT_START) {
        try {
            Global& g = G();
            std::lock_guard lock(g.mutex);
            g.control.Restart();
        } catch (...) {
            return kInternalError;
        }
    }
    return Entry(
        "AvCmInit", Need::Nothing, [&](const Library&) { return std::to_string(mode); },
        [&](Library& lib, std::string& out) { return lib.Init(mode, out); });
}

AvCmResult AvCmLogin(uint32_t count, const AvCmLoginParam* params, AvCmHandle* connection,
                     uint32_t flags) {
    return Entry(
        "AvCmLogin", Need::Init,
        [&](const Library& lib) { return LoginParams(lib, count, params) + ", " + Flags(flags); },
        [&](Library& lib, std::string& out) {
            return lib.Login(count, params, connection, flags, out);
        });
}

AvCmResult AvCmLogout(AvCmHandle connection, uint32_t flags) {
    return Entry(
        "AvCmLogout", Need::Init,
        [&](const Library& lib) { return lib.Name(connection) + ", " + Flags(flags); },
        [&](Library& lib, std::string&) { return lib.Logout(connection); });
}

AvCmResult AvCmOpenCertEnum(AvCmHandle connection, uint32_t count, const AvCmFindParam* params,
                            AvCmHandle* enumeration, uint32_t flags) {
    return Entry(
        "AvCmOpenCertEnum", Need::Init,
        [&](const Library& lib) {
            return lib.Name(connection) + ", " + FindParams(lib, count, params) + ", " +
                   Flags(flags);
        },
        [&](Library& lib, std::string& out) {
            return lib.OpenCertEnum(connection, count, params, enumeration, out);
        });
}

AvCmResult AvCmEnumGet(AvCmHandle enumeration, AvCmHandle* item, uint32_t flags) {
    return Entry(
        "AvCmEnumGet", Need::Init,
        [&](const Library& lib) { return lib.Name(enumeration) + ", " + Flags(flags); },
        [&](Library& lib, std::string& out) { return lib.EnumGet(enumeration, item, flags, out); });
}

AvCmResult AvCmGetCertAttr(AvCmHandle certificate, uint32_t id, uint32_t index, void* buffer,
                           uint32_t* length, uint32_t flags) {
    return Entry(
        "AvCmGetCertAttr", Need::Init,
        [&](const Library& lib) {
            return lib.Name(certificate) + ", " + Hex(id) + ", " + std::to_string(index) + ", " +
                   Buffer(buffer, length) + ", " + Flags(flags);
        },
        [&](Library& lib, std::string& out) {
            return lib.GetCertAttr(certificate, id, index, buffer, length, out);
        });
}

AvCmResult AvCmDuplicateHandle(AvCmHandle handle, AvCmHandle connection, AvCmHandle* duplicate,
                               uint32_t flags) {
    return Entry(
        "AvCmDuplicateHandle", Need::Init,
        [&](const Library& lib) {
            return lib.Name(handle) + ", " + lib.Name(connection) + ", " + Flags(flags);
        },
        [&](Library& lib, std::string& out) {
            return lib.DuplicateHandle(handle, connection, duplicate, out);
        });
}

AvCmResult AvCmOpenMsg(AvCmHandle connection, const void* data, uint32_t length,
                       AvCmHandle* message, uint32_t flags) {
    return Entry(
        "AvCmOpenMsg", Need::Init,
        [&](const Library& lib) {
            return lib.Name(connection) + ", " + (data == nullptr ? "null" : "data") +
                   ", length=" + std::to_string(length) + ", " + Flags(flags);
        },
        [&](Library& lib, std::string& out) {
            return lib.OpenMsg(connection, data, length, message, flags, out);
        });
}

AvCmResult AvCmMsgSetAttribute(AvCmHandle message, uint32_t id, const void* value,
                               uint32_t valueLength, uint32_t index, uint32_t flags) {
    return Entry(
        "AvCmMsgSetAttribute", Need::Init,
        [&](const Library& lib) {
            const std::string shown =
                id == AVCM_MSG_ATTR_ATTR_CERT ? HandleAt(lib, value) : (value ? "?" : "null");
            return lib.Name(message) + ", " + Hex(id) + ", " + shown + ", " +
                   std::to_string(valueLength) + ", " + std::to_string(index) + ", " + Flags(flags);
        },
        [&](Library& lib, std::string&) {
            // A value length, index or flags other than 0 mean nothing to this library.
            if (valueLength != 0 || index != 0 || flags != 0)
                return static_cast<AvCmResult>(AVCM_E_INVALID_PARAMETER);
            return lib.MsgSetAttribute(message, id, value);
        });
}

AvCmResult AvCmMsgSign(AvCmHandle message, uint32_t flags) {
    return Entry(
        "AvCmMsgSign", Need::Init,
        [&](const Library& lib) { return lib.Name(message) + ", " + Flags(flags); },
        [&](Library& lib, std::string&) { return lib.MsgSign(message, flags); });
}

AvCmResult AvCmGetMsg(AvCmHandle message, void* buffer, uint32_t* length, uint32_t flags) {
    return Entry(
        "AvCmGetMsg", Need::Init,
        [&](const Library& lib) {
            return lib.Name(message) + ", " + Buffer(buffer, length) + ", " + Flags(flags);
        },
        [&](Library& lib, std::string& out) {
            return lib.GetMsg(message, buffer, length, flags, out);
        });
}

AvCmResult AvCmCloseHandle(AvCmHandle handle, uint32_t flags) {
    return Entry(
        "AvCmCloseHandle", Need::Init,
        [&](const Library& lib) { return lib.Name(handle) + ", " + Flags(flags); },
        [&](Library& lib, std::string&) { return lib.CloseHandle(handle); });
}

AvCmResult AvCmGetErrorInfo(AvCmHandle connection, AvCmResult error, uint32_t kind, char* buffer,
                            uint32_t* length, uint32_t flags) {
    return Entry(
        "AvCmGetErrorInfo", Need::Nothing,
        [&](const Library& lib) {
            return lib.Name(connection) + ", " + Code(error) + ", " + std::to_string(kind) + ", " +
                   Buffer(buffer, length) + ", " + Flags(flags);
        },
        [&](Library&, std::string& out) {
            return Library::GetErrorInfo(error, kind, buffer, length, out);
        });
}

// ---- exported for the version gates, not offered by this library ----

AvCmResult AvCmMsgOCSPAddResponse(AvCmHandle message, const void*, uint32_t length,
                                  uint32_t flags) {
    return NotAvailable("AvCmMsgOCSPAddResponse", [&](const Library& lib) {
        return lib.Name(message) + ", length=" + std::to_string(length) + ", " + Flags(flags);
    });
}

AvCmResult AvCmMsgOCSPGetResponseAttr(AvCmHandle message, uint32_t index, uint32_t id, void*,
                                      uint32_t*, uint32_t flags) {
    return NotAvailable("AvCmMsgOCSPGetResponseAttr", [&](const Library& lib) {
        return lib.Name(message) + ", " + std::to_string(index) + ", " + Hex(id) + ", " +
               Flags(flags);
    });
}

AvCmResult AvCmMsgOCSPGetResponse(AvCmHandle message, uint32_t index, void*, uint32_t*,
                                  uint32_t flags) {
    return NotAvailable("AvCmMsgOCSPGetResponse", [&](const Library& lib) {
        return lib.Name(message) + ", " + std::to_string(index) + ", " + Flags(flags);
    });
}

AvCmResult AvCmCheckCrlDP(AvCmHandle certificate, uint32_t flags) {
    return NotAvailable("AvCmCheckCrlDP", [&](const Library& lib) {
        return lib.Name(certificate) + ", " + Flags(flags);
    });
}

AvCmResult AvCmCreateScep(AvCmHandle connection, AvCmHandle*, uint32_t flags) {
    return NotAvailable("AvCmCreateScep", [&](const Library& lib) {
        return lib.Name(connection) + ", " + Flags(flags);
    });
}

AvCmResult AvCmScepExecute(AvCmHandle scep, uint32_t flags) {
    return NotAvailable("AvCmScepExecute",
                        [&](const Library& lib) { return lib.Name(scep) + ", " + Flags(flags); });
}

AvCmResult AvCmScepSet(AvCmHandle scep, uint32_t id, const void*, uint32_t, uint32_t flags) {
    return NotAvailable("AvCmScepSet", [&](const Library& lib) {
        return lib.Name(scep) + ", " + Hex(id) + ", " + Flags(flags);
    });
}

AvCmResult AvCmScepGet(AvCmHandle scep, uint32_t id, void*, uint32_t*, uint32_t flags) {
    return NotAvailable("AvCmScepGet", [&](const Library& lib) {
        return lib.Name(scep) + ", " + Hex(id) + ", " + Flags(flags);
    });
}

AvCmResult AvCmOpenEnum(AvCmHandle connection, uint32_t kind, uint32_t, const AvCmFindParam*,
                        AvCmHandle*, uint32_t flags) {
    return NotAvailable("AvCmOpenEnum", [&](const Library& lib) {
        return lib.Name(connection) + ", " + Hex(kind) + ", " + Flags(flags);
    });
}

AvCmResult AvCmShowObjectInfoExt(AvCmHandle object, uint32_t flags) {
    return NotAvailable("AvCmShowObjectInfoExt",
                        [&](const Library& lib) { return lib.Name(object) + ", " + Flags(flags); });
}

AvCmResult AvCmTLSCreateConnect(AvCmHandle connection, const char* address, AvCmHandle*,
                                uint32_t flags) {
    return NotAvailable("AvCmTLSCreateConnect", [&](const Library& lib) {
        return lib.Name(connection) + ", " + Text(address) + ", " + Flags(flags);
    });
}

AvCmResult AvCmTlsGet(AvCmHandle tls, const char* path, void*, uint32_t*, uint32_t flags) {
    return NotAvailable("AvCmTlsGet", [&](const Library& lib) {
        return lib.Name(tls) + ", " + Text(path) + ", " + Flags(flags);
    });
}

AvCmResult AvCmTlsPost(AvCmHandle tls, const char* path, const void*, uint32_t dataLength, void*,
                       uint32_t*, uint32_t flags) {
    return NotAvailable("AvCmTlsPost", [&](const Library& lib) {
        return lib.Name(tls) + ", " + Text(path) + ", length=" + std::to_string(dataLength) + ", " +
               Flags(flags);
    });
}

// Writes the text into the trace: the call line is the whole effect.
AvCmResult AvCmDebugLog(uint32_t level, const char* text) {
    return Entry(
        "AvCmDebugLog", Need::Nothing,
        [&](const Library&) { return std::to_string(level) + ", " + Text(text); },
        [](Library&, std::string&) { return static_cast<AvCmResult>(AVCM_OK); });
}

}  // extern "C"
