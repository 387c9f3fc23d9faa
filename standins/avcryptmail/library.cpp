#include "library.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include <openssl/evp.h>

#include "codes.h"
#include "core/text.h"
#include "signed_message.h"

namespace korvalo::avcm {

namespace fs = std::filesystem;

namespace {

// Attribute-certificate files larger than this are not attribute certificates.
constexpr std::uintmax_t kMaxAttrCertFileSize = 1024 * 1024;

// The library cannot show a password window: a protected key takes its password from
// $AVCRYPTMAIL_KEY_PASSWORD; without it (or after a wrong one) the entry is cancelled.
class EnvironmentPasswordPrompt : public IKeyPasswordPrompt {
public:
    std::optional<std::string> AskKeyPassword(const std::string&, bool retry) override {
        retried_ = retried_ || retry;
        const char* password = std::getenv("AVCRYPTMAIL_KEY_PASSWORD");
        if (retry || password == nullptr)
            return std::nullopt;
        return std::string(password);
    }
    bool Retried() const { return retried_; }

private:
    bool retried_ = false;
};

// A text parameter of at most 4096 bytes, ended by a zero byte.
std::optional<std::string> TextParam(const void* value) {
    if (value == nullptr)
        return std::nullopt;
    const char* text = static_cast<const char*>(value);
    for (std::size_t i = 0; i < 4096; ++i) {
        if (text[i] == '\0')
            return std::string(text, i);
    }
    return std::nullopt;
}

}  // namespace

std::string KeyIdOf(const StoreCertificate& certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate.Handle(), EVP_sha1(), digest, &length) != 1)
        return "";
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += kDigits[digest[i] >> 4];
        text += kDigits[digest[i] & 0x0F];
    }
    return text;
}

AvCmResult CopyOut(const std::string& bytes, void* buffer, std::uint32_t* length) {
    if (length == nullptr)
        return AVCM_E_INVALID_PARAMETER;
    if (bytes.size() > UINT32_MAX)
        return kInternalError;
    const auto needed = static_cast<std::uint32_t>(bytes.size());
    if (buffer == nullptr) {
        *length = needed;
        return AVCM_OK;
    }
    if (*length < needed) {
        *length = needed;
        return AVCM_E_MORE_DATA;
    }
    std::copy(bytes.begin(), bytes.end(), static_cast<char*>(buffer));
    *length = needed;
    return AVCM_OK;
}

// ---- registry ----

std::string Library::Name(const void* handle) const {
    if (handle == nullptr)
        return "null";
    const auto it = objects_.find(handle);
    return it != objects_.end() ? it->second->name : "?";
}

template <typename T>
T* Library::Find(const void* handle) const {
    const auto it = objects_.find(handle);
    if (it == objects_.end())
        return nullptr;
    return dynamic_cast<T*>(it->second.get());
}

AvCmHandle Library::Register(std::unique_ptr<Object> object, char prefix) {
    object->name = prefix + std::to_string(++serials_[prefix]);
    Object* raw = object.get();
    objects_.emplace(raw, std::move(object));
    return reinterpret_cast<AvCmHandle>(raw);
}

void Library::Release(Object* object) {
    if (object->kind == Object::Kind::Connection) {
        for (auto it = objects_.begin(); it != objects_.end();) {
            if (it->second->owner == object)
                it = objects_.erase(it);
            else
                ++it;
        }
    }
    objects_.erase(object);
}

std::vector<std::string> Library::TakeNotes() {
    std::vector<std::string> notes;
    notes.swap(notes_);
    return notes;
}

// ---- operations ----

AvCmResult Library::Init(std::uint32_t mode, std::string& out) {
    if (mode == AVCM_INIT_START) {
        if (objects_.empty())
            serials_.clear();
        initialized_ = true;
        return AVCM_OK;
    }
    if (mode == AVCM_INIT_END) {
        out = "open=" + std::to_string(objects_.size());
        if (!objects_.empty()) {
            std::vector<std::string> names;
            for (const auto& [handle, object] : objects_)
                names.push_back(object->name);
            std::sort(names.begin(), names.end());
            std::string list;
            for (const std::string& name : names)
                list += (list.empty() ? "" : ",") + name;
            out += " (" + list + ")";
        }
        objects_.clear();
        initialized_ = false;
        return AVCM_OK;
    }
    return AVCM_E_INVALID_PARAMETER;
}

AvCmResult Library::Login(std::uint32_t count, const AvCmLoginParam* params, AvCmHandle* connection,
                          std::uint32_t flags, std::string& out) {
    if (connection == nullptr || params == nullptr || count == 0)
        return AVCM_E_INVALID_PARAMETER;
    *connection = nullptr;
    std::optional<std::uint32_t> mode;
    std::optional<std::string> keyId;
    for (std::uint32_t i = 0; i < count; ++i) {
        switch (params[i].id) {
            case AVCM_PARAM_LOGIN_MODE:
                if (params[i].value == nullptr)
                    return AVCM_E_INVALID_PARAMETER;
                mode = *static_cast<const std::uint32_t*>(params[i].value);
                break;
            case AVCM_PARAM_KEY_ID:
                keyId = TextParam(params[i].value);
                if (!keyId)
                    return AVCM_E_INVALID_PARAMETER;
                break;
            default:
                return AVCM_E_INVALID_PARAMETER;
        }
    }
    // A key-bound login names the key and says so in its flags; a store login does neither.
    const bool withKey = (flags & 0x1u) != 0;
    if (mode != AVCM_LOGIN_MODE_PERSONAL || withKey != keyId.has_value())
        return AVCM_E_INVALID_PARAMETER;

    std::shared_ptr<const CertStore> store = CertStore::OpenDefault();
    if (!store)
        return kStoreNotOpened;
    auto conn = std::make_unique<Connection>();
    conn->store = store;
    if (keyId) {
        for (const StoreCertificate& certificate : store->Certificates()) {
            if (KeyIdOf(certificate) == *keyId) {
                conn->keyCertificate = &certificate;
                break;
            }
        }
        if (conn->keyCertificate == nullptr)
            return kCertificateNotFound;
        EnvironmentPasswordPrompt prompt;
        KeyResult key = conn->keyCertificate->LoadPrivateKey(&prompt);
        if (!key.key) {
            if (key.error == kErrorCancelled)
                return prompt.Retried() ? kKeyPasswordWrong : kKeyPasswordCancelled;
            notes_.push_back("key of " + conn->keyCertificate->SourceFile().filename().string() +
                             ": " + key.message);
            return kKeyNotAvailable;
        }
        conn->key = std::move(key.key);
    }
    *connection = Register(std::move(conn), 'C');
    out = Name(*connection);
    return AVCM_OK;
}

AvCmResult Library::Logout(AvCmHandle connection) {
    Connection* conn = Find<Connection>(connection);
    if (conn == nullptr)
        return AVCM_E_INVALID_HANDLE;
    Release(conn);
    return AVCM_OK;
}

std::vector<std::shared_ptr<const AttributeCertificate>> Library::AttrCertsOf(
    const StoreCertificate& certificate) {
    std::vector<std::shared_ptr<const AttributeCertificate>> found;
    const fs::path folder = fs::path(certificate.SourceFile().string() + ".attr");
    std::error_code ec;
    if (!fs::is_directory(folder, ec))
        return found;
    std::vector<fs::path> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, ec)) {
        const std::string ext = ToLowerAscii(entry.path().extension().string());
        if (ext == ".der" && entry.is_regular_file(ec))
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        const std::string shown = folder.filename().string() + "/" + file.filename().string();
        if (fs::file_size(file, ec) > kMaxAttrCertFileSize || ec) {
            notes_.push_back("skipped " + shown + ": too large or unreadable");
            continue;
        }
        std::ifstream in(file, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        auto attrCert = AttributeCertificate::Parse(bytes.str());
        if (!attrCert) {
            notes_.push_back("skipped " + shown + ": not an attribute certificate");
            continue;
        }
        if (!attrCert->HolderIs(certificate.Handle())) {
            notes_.push_back("skipped " + shown + ": held by another certificate");
            continue;
        }
        found.push_back(std::make_shared<const AttributeCertificate>(std::move(*attrCert)));
    }
    return found;
}

AvCmResult Library::OpenCertEnum(AvCmHandle connection, std::uint32_t count,
                                 const AvCmFindParam* params, AvCmHandle* enumeration,
                                 std::string& out) {
    Connection* conn = Find<Connection>(connection);
    if (conn == nullptr)
        return AVCM_E_INVALID_HANDLE;
    if (enumeration == nullptr || params == nullptr || count == 0)
        return AVCM_E_INVALID_PARAMETER;
    *enumeration = nullptr;
    std::optional<std::string> serial;
    const CertificateObject* holder = nullptr;
    for (std::uint32_t i = 0; i < count; ++i) {
        const AvCmFindParam& p = params[i];
        if (p.reserved != 0 || p.value == nullptr)
            return AVCM_E_INVALID_PARAMETER;
        switch (p.id) {
            case AVCM_PARAM_STORE_KIND:
                if (*static_cast<const std::uint32_t*>(p.value) != AVCM_STORE_KIND_PERSONAL)
                    return AVCM_E_INVALID_PARAMETER;
                break;
            case AVCM_PARAM_SERIAL:
                serial = TextParam(p.value);
                if (!serial)
                    return AVCM_E_INVALID_PARAMETER;
                break;
            case AVCM_PARAM_ATTR_CERTS_OF:
                holder = Find<CertificateObject>(*static_cast<const AvCmHandle*>(p.value));
                if (holder == nullptr)
                    return AVCM_E_INVALID_HANDLE;
                break;
            default:
                return AVCM_E_INVALID_PARAMETER;
        }
    }
    auto e = std::make_unique<Enumeration>();
    e->owner = conn;
    if (holder != nullptr) {
        if (count != 1)  // an attribute-certificate search takes no other condition
            return AVCM_E_INVALID_PARAMETER;
        e->attributeSearch = true;
        e->attrCerts = AttrCertsOf(*holder->certificate);
    } else {
        e->store = conn->store;
        for (const StoreCertificate& certificate : conn->store->Certificates()) {
            if (!serial || certificate.SerialText(false) == *serial)
                e->certificates.push_back(&certificate);
        }
    }
    *enumeration = Register(std::move(e), 'E');
    out = Name(*enumeration);
    return AVCM_OK;
}

AvCmResult Library::EnumGet(AvCmHandle enumeration, AvCmHandle* item, std::uint32_t flags,
                            std::string& out) {
    Enumeration* e = Find<Enumeration>(enumeration);
    if (e == nullptr)
        return AVCM_E_INVALID_HANDLE;
    if (item == nullptr || (flags != AVCM_ENUM_FIRST && flags != AVCM_ENUM_NEXT))
        return AVCM_E_INVALID_PARAMETER;
    *item = nullptr;
    if (flags == AVCM_ENUM_FIRST)
        e->next = 0;
    if (e->attributeSearch) {
        if (e->next >= e->attrCerts.size())
            return AVCM_E_NO_MORE_ITEMS;
        auto a = std::make_unique<AttrCertObject>();
        a->owner = e->owner;
        a->attrCert = e->attrCerts[e->next++];
        *item = Register(std::move(a), 'A');
    } else {
        if (e->next >= e->certificates.size())
            return AVCM_E_NO_MORE_ITEMS;
        auto k = std::make_unique<CertificateObject>();
        k->owner = e->owner;
        k->store = e->store;
        k->certificate = e->certificates[e->next++];
        *item = Register(std::move(k), 'K');
    }
    out = Name(*item);
    return AVCM_OK;
}

AvCmResult Library::GetCertAttr(AvCmHandle certificate, std::uint32_t id, std::uint32_t index,
                                void* buffer, std::uint32_t* length, std::string& out) {
    const CertificateObject* k = Find<CertificateObject>(certificate);
    if (k == nullptr)
        return AVCM_E_INVALID_HANDLE;
    std::string value;
    if (index != 0)
        return AVCM_E_INVALID_PARAMETER;
    if (id == AVCM_CERT_ATTR_KEY_ID)
        value = KeyIdOf(*k->certificate);
    else if (id == AVCM_PARAM_SERIAL)
        value = k->certificate->SerialText(false);
    else
        return AVCM_E_INVALID_PARAMETER;
    value += '\0';
    const AvCmResult r = CopyOut(value, buffer, length);
    if (length != nullptr)
        out = "length=" + std::to_string(*length);
    return r;
}

AvCmResult Library::DuplicateHandle(AvCmHandle handle, AvCmHandle connection, AvCmHandle* duplicate,
                                    std::string& out) {
    Connection* conn = Find<Connection>(connection);
    if (conn == nullptr)
        return AVCM_E_INVALID_HANDLE;
    if (duplicate == nullptr)
        return AVCM_E_INVALID_PARAMETER;
    *duplicate = nullptr;
    if (const auto* k = Find<CertificateObject>(handle)) {
        auto copy = std::make_unique<CertificateObject>(*k);
        copy->owner = conn;
        *duplicate = Register(std::move(copy), 'K');
    } else if (const auto* a = Find<AttrCertObject>(handle)) {
        auto copy = std::make_unique<AttrCertObject>(*a);
        copy->owner = conn;
        *duplicate = Register(std::move(copy), 'A');
    } else {
        return AVCM_E_INVALID_HANDLE;
    }
    out = Name(*duplicate);
    return AVCM_OK;
}

AvCmResult Library::CloseHandle(AvCmHandle handle) {
    Object* object = Find<Object>(handle);
    // A connection ends with AvCmLogout, not here.
    if (object == nullptr || object->kind == Object::Kind::Connection)
        return AVCM_E_INVALID_HANDLE;
    Release(object);
    return AVCM_OK;
}

AvCmResult Library::OpenMsg(AvCmHandle connection, const void* data, std::uint32_t length,
                            AvCmHandle* message, std::uint32_t flags, std::string& out) {
    Connection* conn = Find<Connection>(connection);
    if (conn == nullptr)
        return AVCM_E_INVALID_HANDLE;
    if (message == nullptr || (data == nullptr && length != 0) || flags != AVCM_MSG_DETACHED_SIGN ||
        length > INT_MAX)
        return AVCM_E_INVALID_PARAMETER;
    *message = nullptr;
    if (!conn->key)
        return kConnectionWithoutKey;
    auto m = std::make_unique<Message>();
    m->owner = conn;
    if (length != 0)
        m->data.assign(static_cast<const char*>(data), length);
    *message = Register(std::move(m), 'M');
    out = Name(*message);
    return AVCM_OK;
}

AvCmResult Library::MsgSetAttribute(AvCmHandle message, std::uint32_t id, const void* value) {
    Message* m = Find<Message>(message);
    if (m == nullptr)
        return AVCM_E_INVALID_HANDLE;
    if (id != AVCM_MSG_ATTR_ATTR_CERT || value == nullptr)
        return AVCM_E_INVALID_PARAMETER;
    if (m->signed_)
        return kMessageState;
    const AttrCertObject* a = Find<AttrCertObject>(*static_cast<const AvCmHandle*>(value));
    if (a == nullptr)
        return AVCM_E_INVALID_HANDLE;
    const auto* conn = static_cast<const Connection*>(m->owner);
    if (!a->attrCert->HolderIs(conn->keyCertificate->Handle()))
        return kAttrCertOtherHolder;
    if (a->attrCert->TimeValidity(std::time(nullptr)) != 0)
        return kAttrCertNotValidNow;
    m->attrCerts.push_back(a->attrCert->Der());
    return AVCM_OK;
}

AvCmResult Library::MsgSign(AvCmHandle message, std::uint32_t flags) {
    constexpr std::uint32_t kWithCertificate = 0x100000u;
    constexpr std::uint32_t kWithSigningTime = 0x2000000u;
    Message* m = Find<Message>(message);
    if (m == nullptr)
        return AVCM_E_INVALID_HANDLE;
    // Every signature carries its signing time; other bits are unknown.
    if ((flags & ~(kWithCertificate | kWithSigningTime)) != 0 || !(flags & kWithSigningTime))
        return AVCM_E_INVALID_PARAMETER;
    if (m->signed_)
        return kMessageState;
    const auto* conn = static_cast<const Connection*>(m->owner);
    std::string der;
    const AvCmResult r = MakeSignedMessage(conn->keyCertificate->Handle(), conn->key.get(), m->data,
                                           m->attrCerts, (flags & kWithCertificate) != 0, der);
    if (r != AVCM_OK)
        return r;
    m->der = std::move(der);
    m->signed_ = true;
    return AVCM_OK;
}

AvCmResult Library::GetMsg(AvCmHandle message, void* buffer, std::uint32_t* length,
                           std::uint32_t flags, std::string& out) {
    const Message* m = Find<Message>(message);
    if (m == nullptr)
        return AVCM_E_INVALID_HANDLE;
    if (flags != AVCM_MSG_ENCODING_DER)
        return AVCM_E_INVALID_PARAMETER;
    if (!m->signed_)
        return kMessageState;
    const AvCmResult r = CopyOut(m->der, buffer, length);
    if (length != nullptr)
        out = "length=" + std::to_string(*length);
    return r;
}

AvCmResult Library::GetErrorInfo(AvCmResult error, std::uint32_t kind, char* buffer,
                                 std::uint32_t* length, std::string& out) {
    if (kind != AVCM_ERROR_INFO_TEXT)
        return AVCM_E_INVALID_PARAMETER;
    const std::optional<std::string> text = CodeText(error);
    if (!text)
        return AVCM_E_INVALID_PARAMETER;
    std::string bytes = ToCp1251(*text);
    bytes += '\0';
    const AvCmResult r = CopyOut(bytes, buffer, length);
    if (length != nullptr)
        out = "length=" + std::to_string(*length);
    return r;
}

}  // namespace korvalo::avcm
