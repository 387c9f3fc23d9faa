#pragma once
// The state and operations of the stand-in AvCryptMail: connections over the certificate
// store, certificates, attribute certificates, enumerations and messages behind handles.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "attr_cert.h"
#include "platform/crypto/cert_store.h"
#include "services/engines/avcryptmail_api.h"

namespace korvalo::avcm {

// Everything a handle can stand for. A handle is the object's address; it is looked up in
// the registry before use, so a stale or foreign handle is refused, never dereferenced.
struct Object {
    enum class Kind { Connection, Enumeration, Certificate, AttrCert, Message };
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;

    Kind kind;
    std::string name;         // in the trace: C1, E1, K1, A1, M1...
    Object* owner = nullptr;  // the connection it was made in (none for a connection)
};

struct Connection : Object {
    Connection() : Object(Kind::Connection) {}
    std::shared_ptr<const CertStore> store;
    const StoreCertificate* keyCertificate = nullptr;  // set for a connection bound to a key
    EvpPkeyPtr key;
};

struct CertificateObject : Object {
    CertificateObject() : Object(Kind::Certificate) {}
    std::shared_ptr<const CertStore> store;  // keeps certificate alive
    const StoreCertificate* certificate = nullptr;
};

struct AttrCertObject : Object {
    AttrCertObject() : Object(Kind::AttrCert) {}
    std::shared_ptr<const AttributeCertificate> attrCert;
};

struct Enumeration : Object {
    Enumeration() : Object(Kind::Enumeration) {}
    bool attributeSearch = false;
    std::shared_ptr<const CertStore> store;
    std::vector<const StoreCertificate*> certificates;                   // a certificate search
    std::vector<std::shared_ptr<const AttributeCertificate>> attrCerts;  // or attribute certs
    std::size_t next = 0;
};

struct Message : Object {
    Message() : Object(Kind::Message) {}
    std::string data;
    std::vector<std::string> attrCerts;  // DER, in the order added
    bool signed_ = false;
    std::string der;  // the signed message
};

class Library {
public:
    // The trace name of a handle: its object's name, "null", or "?" for an unknown one.
    std::string Name(const void* handle) const;

    AvCmResult Init(std::uint32_t mode, std::string& out);
    AvCmResult Login(std::uint32_t count, const AvCmLoginParam* params, AvCmHandle* connection,
                     std::uint32_t flags, std::string& out);
    AvCmResult Logout(AvCmHandle connection);
    AvCmResult OpenCertEnum(AvCmHandle connection, std::uint32_t count, const AvCmFindParam* params,
                            AvCmHandle* enumeration, std::string& out);
    AvCmResult EnumGet(AvCmHandle enumeration, AvCmHandle* item, std::uint32_t flags,
                       std::string& out);
    AvCmResult GetCertAttr(AvCmHandle certificate, std::uint32_t id, std::uint32_t index,
                           void* buffer, std::uint32_t* length, std::string& out);
    AvCmResult DuplicateHandle(AvCmHandle handle, AvCmHandle connection, AvCmHandle* duplicate,
                               std::string& out);
    AvCmResult CloseHandle(AvCmHandle handle);
    AvCmResult OpenMsg(AvCmHandle connection, const void* data, std::uint32_t length,
                       AvCmHandle* message, std::uint32_t flags, std::string& out);
    AvCmResult MsgSetAttribute(AvCmHandle message, std::uint32_t id, const void* value);
    AvCmResult MsgSign(AvCmHandle message, std::uint32_t flags);
    AvCmResult GetMsg(AvCmHandle message, void* buffer, std::uint32_t* length, std::uint32_t flags,
                      std::string& out);
    static AvCmResult GetErrorInfo(AvCmResult error, std::uint32_t kind, char* buffer,
                                   std::uint32_t* length, std::string& out);

    bool Initialized() const { return initialized_; }

    // Notes for the trace that an operation left (files skipped and why); taken once.
    std::vector<std::string> TakeNotes();

private:
    template <typename T>
    T* Find(const void* handle) const;
    AvCmHandle Register(std::unique_ptr<Object> object, char prefix);
    void Release(Object* object);  // with the objects made in it, for a connection
    std::vector<std::shared_ptr<const AttributeCertificate>> AttrCertsOf(
        const StoreCertificate& certificate);

    bool initialized_ = false;
    std::map<const void*, std::unique_ptr<Object>> objects_;
    std::map<char, unsigned> serials_;
    std::vector<std::string> notes_;
};

// The text of attribute 0x100F: the certificate's SHA-1 thumbprint, upper-case hexadecimal.
std::string KeyIdOf(const StoreCertificate& certificate);

// Copies bytes to an output buffer by the contract's rule (no buffer: the size only).
AvCmResult CopyOut(const std::string& bytes, void* buffer, std::uint32_t* length);

}  // namespace korvalo::avcm
