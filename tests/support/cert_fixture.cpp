#include "support/cert_fixture.h"

#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

namespace korvalo::testing {

namespace fs = std::filesystem;

namespace {

struct X509StackDeleter {
    void operator()(STACK_OF(X509) * p) const noexcept { sk_X509_free(p); }  // not owning
};
struct Asn1IntegerDeleter {
    void operator()(ASN1_INTEGER* p) const noexcept { ASN1_INTEGER_free(p); }
};
struct X509ExtensionDeleter {
    void operator()(X509_EXTENSION* p) const noexcept { X509_EXTENSION_free(p); }
};

[[noreturn]] void Fail(const std::string& what) {
    std::string detail;
    unsigned long err;
    while ((err = ERR_get_error()) != 0) {
        char buf[256];
        ERR_error_string_n(err, buf, sizeof buf);
        detail += std::string("; ") + buf;
    }
    throw std::runtime_error("cert fixture: " + what + detail);
}

std::string BioText(BIO* bio) {
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(len));
}

std::string HexToBytes(const std::string& hex) {
    if (hex.size() % 2 != 0)
        throw std::invalid_argument("odd hex text: " + hex);
    std::string out;
    for (std::size_t i = 0; i < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

void AddNamePart(X509_NAME* name, const char* oid, const std::string& value, bool printable) {
    if (value.empty())
        return;
    Asn1ObjectPtr obj(OBJ_txt2obj(oid, 1));
    const int type = printable ? V_ASN1_PRINTABLESTRING : MBSTRING_UTF8;
    if (!obj || X509_NAME_add_entry_by_OBJ(name, obj.get(), type,
                                           reinterpret_cast<const unsigned char*>(value.data()),
                                           static_cast<int>(value.size()), -1, 0) != 1) {
        Fail(std::string("name part ") + oid);
    }
}

void FillName(X509_NAME* name, const NameParts& wanted) {
    AddNamePart(name, "2.5.4.6", wanted.c, true);
    AddNamePart(name, "2.5.4.10", wanted.o, false);
    AddNamePart(name, "2.5.4.11", wanted.ou, false);
    AddNamePart(name, "2.5.4.3", wanted.cn, false);
    AddNamePart(name, "2.5.4.4", wanted.sn, false);
    AddNamePart(name, "2.5.4.41", wanted.gn, false);
}

void SetSerial(X509* cert, const std::string& serialHex) {
    // The content bytes as given, sign included: build the DER and decode it.
    const std::string content = HexToBytes(serialHex);
    std::string der;
    der.push_back(0x02);
    der.push_back(static_cast<char>(content.size()));
    der += content;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    std::unique_ptr<ASN1_INTEGER, Asn1IntegerDeleter> serial(
        d2i_ASN1_INTEGER(nullptr, &p, static_cast<long>(der.size())));
    if (!serial || X509_set_serialNumber(cert, serial.get()) != 1)
        Fail("serial " + serialHex);
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    std::unique_ptr<X509_EXTENSION, X509ExtensionDeleter> ext(
        X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    if (!ext || X509_add_ext(cert, ext.get(), -1) != 1)
        Fail("extension " + std::string(value));
}

TestCert Build(const CertRecipe& wanted, const TestCert* issuer, bool ca, const EVP_MD* md) {
    TestCert out;
    out.key = wanted.freshKey ? MakeKey(wanted.key) : SharedKey(wanted.key, ca ? 1 : 0);
    out.cert.reset(X509_new());
    X509* x = out.cert.get();
    X509_set_version(x, 2);
    SetSerial(x, wanted.serialHex);
    ASN1_TIME_set(X509_getm_notBefore(x), Clock::to_time_t(wanted.notBefore));
    ASN1_TIME_set(X509_getm_notAfter(x), Clock::to_time_t(wanted.notAfter));
    FillName(X509_get_subject_name(x), wanted.subject);
    X509* issuerCert = issuer != nullptr ? issuer->cert.get() : x;
    EVP_PKEY* signingKey = issuer != nullptr ? issuer->key.get() : out.key.get();
    X509_set_issuer_name(x, X509_get_subject_name(issuerCert));
    X509_set_pubkey(x, out.key.get());
    AddExtension(x, issuerCert, NID_subject_key_identifier, "hash");
    if (ca) {
        AddExtension(x, issuerCert, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(x, issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExtension(x, issuerCert, NID_authority_key_identifier, "keyid");
        AddExtension(x, issuerCert, NID_basic_constraints, "CA:FALSE");
        AddExtension(x, issuerCert, NID_key_usage, "critical,digitalSignature,nonRepudiation");
    }
    if (X509_sign(x, signingKey, md != nullptr ? md : EVP_sha256()) <= 0)
        Fail("signing the certificate");
    return out;
}

std::string SubjectArg(const NameParts& n) {
    std::string s;
    auto add = [&](const char* key, const std::string& v) {
        if (!v.empty())
            s += std::string("/") + key + "=" + v;
    };
    add("C", n.c);
    add("O", n.o);
    add("OU", n.ou);
    add("CN", n.cn);
    add("SN", n.sn);
    add("name", n.gn);
    return s.empty() ? "/" : s;
}

// DER length octets.
std::string DerLength(std::size_t len) {
    if (len < 0x80)
        return std::string(1, static_cast<char>(len));
    std::string bytes;
    while (len > 0) {
        bytes.insert(bytes.begin(), static_cast<char>(len & 0xFF));
        len >>= 8;
    }
    return std::string(1, static_cast<char>(0x80 | bytes.size())) + bytes;
}

// Reads a TLV header at pos: returns the header length and sets contentLen.
std::size_t ReadHeader(const std::string& der, std::size_t pos, std::size_t& contentLen) {
    std::size_t p = pos + 1;
    const auto first = static_cast<unsigned char>(der.at(p++));
    if (first < 0x80) {
        contentLen = first;
    } else {
        contentLen = 0;
        for (int i = 0; i < (first & 0x7F); ++i)
            contentLen = (contentLen << 8) | static_cast<unsigned char>(der.at(p++));
    }
    return p - pos;
}

}  // namespace

// ---- keys and certificates ----------------------------------------------------------------

EvpPkeyPtr MakeKey(KeyKind kind) {
    EVP_PKEY* key = kind == KeyKind::Rsa2048
                        ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048))
                        : EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    if (key == nullptr)
        Fail("key generation");
    return EvpPkeyPtr(key);
}

EvpPkeyPtr SharedKey(KeyKind kind, int slotNumber) {
    static std::mutex mutex;
    static std::map<std::pair<KeyKind, int>, EvpPkeyPtr> keys;
    std::lock_guard<std::mutex> lock(mutex);
    EvpPkeyPtr& slot = keys[{kind, slotNumber}];
    if (!slot)
        slot = MakeKey(kind);
    EVP_PKEY_up_ref(slot.get());
    return EvpPkeyPtr(slot.get());
}

std::string TestCert::Der() const {
    unsigned char* der = nullptr;
    const int len = i2d_X509(cert.get(), &der);
    if (len <= 0)
        Fail("certificate DER");
    std::string out(reinterpret_cast<const char*>(der), static_cast<std::size_t>(len));
    OPENSSL_free(der);
    return out;
}

std::string TestCert::CertPem() const {
    BioPtr bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(bio.get(), cert.get());
    return BioText(bio.get());
}

std::string TestCert::KeyPem(const std::optional<std::string>& password) const {
    BioPtr bio(BIO_new(BIO_s_mem()));
    const int ok = password ? PEM_write_bio_PKCS8PrivateKey(
                                  bio.get(), key.get(), EVP_aes_256_cbc(), password->data(),
                                  static_cast<int>(password->size()), nullptr, nullptr)
                            : PEM_write_bio_PKCS8PrivateKey(bio.get(), key.get(), nullptr, nullptr,
                                                            0, nullptr, nullptr);
    if (ok != 1)
        Fail("key PEM");
    return BioText(bio.get());
}

std::string TestCert::SerialText(bool grouping) const {
    X509_up_ref(cert.get());
    StoreCertificate sc(X509Ptr(cert.get()), {}, false);
    return sc.SerialText(grouping);
}

TestCert MakeCa(const CertRecipe& wanted) {
    return Build(wanted, nullptr, true, nullptr);
}

TestCert IssueCert(const TestCert& issuer, const CertRecipe& wanted, const EVP_MD* md) {
    return Build(wanted, &issuer, false, md);
}

CaAndCert MakeCaAndCert(const NameParts& caSubject, const CertRecipe& wanted) {
    CertRecipe caRecipe;
    caRecipe.subject = caSubject;
    caRecipe.serialHex = "7E57CA";
    caRecipe.notBefore = Clock::now() - std::chrono::hours(24 * 30);
    caRecipe.notAfter = Clock::now() + std::chrono::hours(24 * 3650);
    caRecipe.key = KeyKind::Rsa2048;
    CaAndCert out;
    out.ca = MakeCa(caRecipe);
    out.cert = IssueCert(out.ca, wanted);
    return out;
}

// ---- store files --------------------------------------------------------------------------

void WritePem(const fs::path& file, const TestCert& cert, const PemOptions& options) {
    std::string certs = cert.CertPem();
    for (const TestCert* extra : options.extraCerts)
        certs += extra->CertPem();
    const std::string key = options.withKey ? cert.KeyPem(options.keyPassword) : std::string();
    WriteBytes(file, options.keyFirst ? key + certs : certs + key);
}

void WritePkcs12(const fs::path& file, const TestCert& cert, const Pkcs12Options& options) {
    std::unique_ptr<STACK_OF(X509), X509StackDeleter> ca(sk_X509_new_null());
    for (const TestCert* extra : options.extraCerts)
        sk_X509_push(ca.get(), extra->cert.get());
    const char* pass = options.password ? options.password->c_str() : nullptr;
    const int nidKey = options.password ? NID_aes_256_cbc : -1;
    const int nidCert = options.password && options.encryptCerts ? NID_aes_256_cbc : -1;
    const int macIter = options.password ? PKCS12_DEFAULT_ITER : -1;
    Pkcs12Ptr p12(PKCS12_create(pass, "korvalo test", options.withKey ? cert.key.get() : nullptr,
                                cert.cert.get(), ca.get(), nidKey, nidCert, PKCS12_DEFAULT_ITER,
                                macIter, 0));
    if (!p12)
        Fail("PKCS12_create");
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (i2d_PKCS12_bio(bio.get(), p12.get()) != 1)
        Fail("PKCS#12 DER");
    WriteBytes(file, BioText(bio.get()));
}

std::string ReplaceSerialDer(const std::string& certDer, const std::string& contentHex) {
    // Certificate ::= SEQUENCE { tbs SEQUENCE { [0] version, INTEGER serial, ... }, ... }
    std::size_t outerLen = 0;
    const std::size_t outerHdr = ReadHeader(certDer, 0, outerLen);
    std::size_t tbsLen = 0;
    const std::size_t tbsPos = outerHdr;
    const std::size_t tbsHdr = ReadHeader(certDer, tbsPos, tbsLen);
    std::size_t pos = tbsPos + tbsHdr;
    std::size_t len = 0;
    if (static_cast<unsigned char>(certDer.at(pos)) == 0xA0) {  // version
        pos += ReadHeader(certDer, pos, len) + len;
    }
    if (certDer.at(pos) != 0x02)
        throw std::invalid_argument("no serial INTEGER");
    const std::size_t serialHdr = ReadHeader(certDer, pos, len);
    const std::size_t serialEnd = pos + serialHdr + len;
    const std::string content = HexToBytes(contentHex);
    const std::string newSerial = std::string(1, '\x02') + DerLength(content.size()) + content;
    const std::string tbsBody = certDer.substr(tbsPos + tbsHdr, pos - (tbsPos + tbsHdr)) +
                                newSerial +
                                certDer.substr(serialEnd, tbsPos + tbsHdr + tbsLen - serialEnd);
    const std::string tbs = std::string(1, '\x30') + DerLength(tbsBody.size()) + tbsBody;
    const std::string rest = certDer.substr(tbsPos + tbsHdr + tbsLen);
    const std::string body = tbs + rest;
    return std::string(1, '\x30') + DerLength(body.size()) + body;
}

// ---- GOST certificates ----------------------------------------------------------------------

bool MakeGostCaAndCert(const fs::path& dir, const NameParts& caSubject, const CertRecipe& wanted,
                       GostFiles& files, std::string& error) {
    files.caKey = dir / "gost-ca.key";
    files.caCert = dir / "gost-ca.pem";
    files.key = dir / "gost-cert.key";
    files.cert = dir / "gost-cert.pem";
    const fs::path csr = dir / "gost-cert.csr";
    const fs::path caConf = dir / "gost-ca.cnf";
    const fs::path ext = dir / "gost-cert.ext";
    WriteBytes(caConf,
               "[req]\ndistinguished_name=dn\nx509_extensions=v3_ca\n[dn]\n"
               "[v3_ca]\nbasicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,"
               "cRLSign\nsubjectKeyIdentifier=hash\n");
    WriteBytes(ext,
               "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,nonRepudiation\n"
               "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n");
    // The openssl command of OpenSSL 3.0 starts validity now and counts whole days.
    const auto hours =
        std::chrono::duration_cast<std::chrono::hours>(wanted.notAfter - Clock::now()).count();
    const long long days = hours > 24 ? hours / 24 : 1;
    const std::vector<std::vector<std::string>> steps = {
        {"openssl", "genpkey", "-engine", "gost", "-algorithm", "gost2012_256", "-pkeyopt",
         "paramset:A", "-out", files.caKey.string()},
        {"openssl", "req", "-engine", "gost", "-new", "-x509", "-utf8", "-config", caConf.string(),
         "-key", files.caKey.string(), "-subj", SubjectArg(caSubject), "-days", "3650",
         "-set_serial", "0x7E57CA", "-out", files.caCert.string()},
        {"openssl", "genpkey", "-engine", "gost", "-algorithm", "gost2012_256", "-pkeyopt",
         "paramset:A", "-out", files.key.string()},
        {"openssl", "req", "-engine", "gost", "-new", "-utf8", "-config", caConf.string(), "-key",
         files.key.string(), "-subj", SubjectArg(wanted.subject), "-out", csr.string()},
        {"openssl", "x509", "-engine", "gost", "-req", "-in", csr.string(), "-CA",
         files.caCert.string(), "-CAkey", files.caKey.string(), "-set_serial",
         "0x" + wanted.serialHex, "-days", std::to_string(days), "-extfile", ext.string(), "-out",
         files.cert.string()},
    };
    for (const auto& step : steps) {
        const CommandResult r = RunCommand(step);
        if (r.exitCode != 0) {
            error = r.output;
            return false;
        }
    }
    return true;
}

// ---- checking CMS signatures -----------------------------------------------------------------

CommandResult VerifyDetachedCms(const std::string& cmsDer, const std::string& content,
                                const std::optional<fs::path>& caFile, bool gost) {
    TempDir dir;
    WriteBytes(dir / "sig.der", cmsDer);
    WriteBytes(dir / "content.bin", content);
    std::vector<std::string> args = {"openssl",  "cms",
                                     "-verify",  "-binary",
                                     "-inform",  "DER",
                                     "-in",      (dir / "sig.der").string(),
                                     "-content", (dir / "content.bin").string(),
                                     "-out",     "/dev/null"};
    if (gost) {
        args.push_back("-engine");
        args.push_back("gost");
    }
    if (caFile) {
        args.push_back("-CAfile");
        args.push_back(caFile->string());
    } else {
        args.push_back("-noverify");
    }
    return RunCommand(args);
}

CmsDump PrintCms(const std::string& cmsDer, bool gost) {
    TempDir dir;
    WriteBytes(dir / "sig.der", cmsDer);
    std::vector<std::string> args = {"openssl", "cms",    "-cmsout",
                                     "-print",  "-noout", "-inform",
                                     "DER",     "-in",    (dir / "sig.der").string()};
    if (gost) {
        args.push_back("-engine");
        args.push_back("gost");
    }
    CmsDump dump;
    dump.text = RunCommand(args).output;
    auto valueOf = [](const std::string& line, const std::string& key) {
        std::string v = line.substr(line.find(key) + key.size());
        const auto open = v.rfind('(');
        const auto close = v.rfind(')');
        if (open != std::string::npos && close != std::string::npos && close > open)
            return v.substr(open + 1, close - open - 1);
        while (!v.empty() && (v.back() == ' ' || v.back() == '\r'))
            v.pop_back();
        return v;
    };
    enum class Section { None, DigestAlgorithms, SignerDigest, SignedAttrs } section{};
    std::istringstream in(dump.text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("digestAlgorithms:") != std::string::npos) {
            section = Section::DigestAlgorithms;
        } else if (line.find("encapContentInfo:") != std::string::npos) {
            section = Section::None;
        } else if (line.find("digestAlgorithm:") != std::string::npos) {
            section = Section::SignerDigest;
        } else if (line.find("signedAttrs:") != std::string::npos) {
            section = Section::SignedAttrs;
        } else if (line.find("signatureAlgorithm:") != std::string::npos) {
            section = Section::None;
        } else if (line.find("d.certificate:") != std::string::npos) {
            ++dump.certificateCount;
        } else if (line.find("eContent: <ABSENT>") != std::string::npos) {
            dump.detached = true;
        } else if (line.find("algorithm: ") != std::string::npos) {
            if (section == Section::DigestAlgorithms)
                dump.digestAlgorithms.push_back(valueOf(line, "algorithm: "));
            if (section == Section::SignerDigest) {
                dump.signerDigests.push_back(valueOf(line, "algorithm: "));
                section = Section::None;
            }
        } else if (section == Section::SignedAttrs && line.find("object: ") != std::string::npos) {
            dump.signedAttributes.push_back(valueOf(line, "object: "));
        }
    }
    return dump;
}

}  // namespace korvalo::testing
