#include "services/engines/criptsign.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <new>
#include <stdexcept>

#include "core/base64.h"
#include "core/text.h"
#include "core/timestamp.h"
#include "core/unique_fd.h"
#include "platform/crypto/crypt_message.h"

namespace korvalo {

namespace {

constexpr char kTextStoreUnavailable[] = "Не удалось подключиться к хранилищу сертификатов.";
constexpr char kTextNotFound[] = "Cертификат не найден.";  // the first letter is Latin C
constexpr char kTextNoCountry[] = "Не определена страна издателя";
constexpr char kTextNoAvest[] = "Ошибка подписи Avest. Библиотека AvCryptMail не подключена.";

// Hash algorithms by the issuer's country and the certificate's own signature algorithm.
constexpr char kGost2012Sign256[] = "1.2.643.7.1.1.3.2";
constexpr char kGost2012Sign512[] = "1.2.643.7.1.1.3.3";
constexpr char kGost2012Hash256[] = "1.2.643.7.1.1.2.2";
constexpr char kGost2012Hash512[] = "1.2.643.7.1.1.2.3";
constexpr char kGost94Hash[] = "1.2.643.2.2.9";
constexpr char kBeltHash[] = "1.3.6.1.4.1.12656.1.42";

std::string OpenFailure(const std::string& file, std::uint32_t code) {
    return "Не удается открыть файл \"" + file + "\". " + CryptErrorText(code);
}

std::string ReadFailure(const std::string& file, int err) {
    return "Ошибка чтения файла \"" + file + "\". " + CryptErrorText(ErrorCodeFromErrno(err));
}

std::string ChangedFailure(const std::string& file) {
    return "Файл \"" + file + "\" изменился во время чтения.";
}

// Reads the whole file for the Avest path, refusing files above its limit before reading
// anything. Returns an empty text on success, else the failure text.
std::string ReadFileToSign(const std::string& file, std::string& data) {
    const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return OpenFailure(file, ErrorCodeFromErrno(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return OpenFailure(file, ErrorCodeFromErrno(errno));
    if (S_ISDIR(st.st_mode))
        return OpenFailure(file, kErrorAccessDenied);
    const auto size = static_cast<std::uint64_t>(st.st_size);
    const auto tooLarge = [](std::uint64_t n) {
        return "Размер файла (" + std::to_string(n) + ") превышает допустимый (" +
               std::to_string(TSign::kMaxAvestFileSize) + ").";
    };
    if (size > TSign::kMaxAvestFileSize)
        return tooLarge(size);
    try {
        data.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
        return CryptErrorText(kErrorNotEnoughMemory);
    }
    const auto readFailure = [&](int err) {
        data.clear();
        return ReadFailure(file, err);
    };
    // Reads into buffer up to its end or the end of the file; -1 on a read error.
    const auto readInto = [&](char* buffer, std::size_t capacity) -> ssize_t {
        std::size_t got = 0;
        while (got < capacity) {
            const ssize_t n = ::read(fd.get(), buffer + got, capacity - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return -1;
            if (n == 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        return static_cast<ssize_t>(got);
    };
    const ssize_t got = readInto(data.data(), data.size());
    if (got < 0)
        return readFailure(errno);
    data.resize(static_cast<std::size_t>(got));
    if (data.size() < size)
        return {};  // the file shrank since it was measured
    // The file may have grown since it was measured: read on, within the limit. A small
    // probe first, so the usual case never reallocates the whole buffer.
    std::string tail(65536, '\0');
    for (;;) {
        const ssize_t more = readInto(tail.data(), tail.size());
        if (more < 0)
            return readFailure(errno);
        if (more == 0)
            break;
        if (data.size() + static_cast<std::size_t>(more) > TSign::kMaxAvestFileSize)
            return tooLarge(data.size() + static_cast<std::size_t>(more));
        data.append(tail, 0, static_cast<std::size_t>(more));
    }
    return {};
}

}  // namespace

std::string ChooseHashAlgorithm(const std::string& hashAlgOID, const std::string& issuerCountry,
                                const std::string& certSignatureOid) {
    if (!hashAlgOID.empty())
        return hashAlgOID;
    const std::string code = ToUpperAscii(issuerCountry.substr(0, 2));
    if (code == "RU") {
        if (certSignatureOid == kGost2012Sign256)
            return kGost2012Hash256;
        if (certSignatureOid == kGost2012Sign512)
            return kGost2012Hash512;
        return kGost94Hash;
    }
    if (code == "BY")
        return kBeltHash;
    return {};
}

TSign::TSign(const TSignContext& context, std::string FN, std::string SerialNum)
    : FFName(std::move(FN)), FSerialNum(std::move(SerialNum)), FContext(context) {}

TSign::TSign(const TSignContext& context, TJobList& ListSign, std::string SerialNum,
             const std::string& /*password*/)
    : FSerialNum(std::move(SerialNum)), FListSign(&ListSign), FContext(context) {}

TSign::~TSign() = default;

std::string TSign::SerialToHex(std::string_view serialBytes, bool grouping) {
    return korvalo::SerialToHex(serialBytes, grouping);
}

void TSign::Fail(const std::string& text) {
    FMessage = text;
    Log(TimeStamp() + " " + text);
}

bool TSign::Sign() {
    FKey.reset();
    FKeyCheckedMd = nullptr;
    FSignedContent.reset();
    std::unique_ptr<CertStore> store;
    try {
        store = CertStore::Open(FContext.storeLocation,
                                StoreTokens{FContext.tokens, FContext.options.pkcs11Modules});
    } catch (const std::exception&) {
        store.reset();
    }
    if (!store) {
        FMessage = kTextStoreUnavailable;
        return false;
    }
    const StoreCertificate* cert = store->FindFirstBySerialText(FSerialNum, true);
    if (cert == nullptr) {
        FMessage = kTextNotFound;
        return false;
    }
    bool result = false;
    try {
        result = FListSign != nullptr ? SignList(*cert) : SignFile(*cert);
    } catch (const std::bad_alloc&) {
        Fail(CryptErrorText(kErrorNotEnoughMemory));
        result = false;
    } catch (const std::exception& e) {
        Fail(e.what());
        result = false;
    }
    FKey.reset();
    FKeyCheckedMd = nullptr;
    return result;
}

bool TSign::SignList(const StoreCertificate& cert) {
    // Each attempt answers for the whole list: results of an earlier attempt (another
    // certificate, a job that failed then) must not stay beside this one's.
    for (TRecordSign& job : *FListSign) {
        job.sign.clear();
        job.error.clear();
    }
    if (FContext.options.avCrypt) {
        if (FContext.avest == nullptr) {
            Fail(kTextNoAvest);
            return false;
        }
        std::string avMessage;
        try {
            const bool ok =
                FContext.avest->SignJobs(cert, cert.SerialText(false), *FListSign, avMessage);
            FMessage = avMessage;
            return ok;
        } catch (const std::exception& e) {
            // The Avest signer has logged the text; the dialog shows it.
            FMessage = e.what();
            return false;
        }
    }
    // The Avest signer answers an empty list with success; the store path with failure and no
    // text.
    if (FListSign->empty())
        return false;
    FProgress.Start(SigningProgress::Unit::Documents, FListSign->size());
    bool result = false;
    std::uint64_t done = 0;
    for (TRecordSign& job : *FListSign) {
        result = true;
        if (SignStream(cert, job.pData)) {
            job.sign = FSignature;
        } else {
            job.error = FMessage;
            result = false;
            break;
        }
        FProgress.Set(++done);
    }
    return result;
}

bool TSign::SignFile(const StoreCertificate& cert) {
    if (FContext.options.avCrypt)
        return SignFileWhole(cert);
    SteadyFileReader reader(FFName);
    switch (reader.failure()) {
        case SteadyFileReader::Failure::None:
            break;
        case SteadyFileReader::Failure::NotRegular:
            Fail(OpenFailure(FFName, kErrorAccessDenied));
            return false;
        default:
            Fail(OpenFailure(FFName, ErrorCodeFromErrno(reader.errorNumber())));
            return false;
    }
    FProgress.Start(SigningProgress::Unit::Bytes, reader.size());
    // What goes wrong beyond the steps' own failures reaches Sign, which reports it.
    ContentFingerprint fingerprint;
    const std::string country = IssuerCountry(cert);
    if (!SignStreamCms(cert, country, [&](const EVP_MD* md, std::string& digest) {
            return DigestFile(reader, md, digest, fingerprint);
        }))
        return false;
    FSignedContent = fingerprint;
    return true;
}

bool TSign::SignFileWhole(const StoreCertificate& cert) {
    std::string data;
    if (std::string failure = ReadFileToSign(FFName, data); !failure.empty()) {
        Fail(failure);
        return false;
    }
    FProgress.Start(SigningProgress::Unit::Bytes, data.size());
    FProgress.Set(data.size());
    if (!SignStream(cert, data))
        return false;
    FSignedContent = FingerprintOf(data);
    return true;
}

std::string TSign::DigestFile(SteadyFileReader& reader, const EVP_MD* md, std::string& digest,
                              ContentFingerprint& fingerprint) {
    ContentDigest content(md);
    FingerprintBuilder builder;
    std::string buffer(kReadChunk, '\0');
    for (;;) {
        const std::size_t n = reader.Read(buffer.data(), buffer.size());
        if (n == 0)
            break;
        const std::string_view piece(buffer.data(), n);
        if (const std::uint32_t error = content.Add(piece); error != 0)
            return CryptErrorText(error);
        builder.Add(piece);
        FProgress.Set(reader.position());
    }
    switch (reader.failure()) {
        case SteadyFileReader::Failure::None:
            break;
        case SteadyFileReader::Failure::Changed:
            return ChangedFailure(FFName);
        default:
            return ReadFailure(FFName, reader.errorNumber());
    }
    if (const std::uint32_t error = content.Finish(digest); error != 0)
        return CryptErrorText(error);
    fingerprint = builder.Finish();
    return {};
}

std::string TSign::IssuerCountry(const StoreCertificate& cert) {
    std::string country = ThroughCp1251(cert.IssuerPart(kOidCountry));
    if (FContext.options.debug)
        Log("issuerCountry: \"" + country + "\"");
    return country;
}

bool TSign::SignStream(const StoreCertificate& cert, std::string_view data) {
    try {
        const std::string country = IssuerCountry(cert);
        if (FContext.options.avCrypt) {
            if (FContext.avest == nullptr)
                throw std::runtime_error(kTextNoAvest);
            std::string signature;
            std::string avMessage;
            if (FContext.avest->SignBuffer(cert, cert.SerialText(false), data, signature,
                                           avMessage)) {
                FSignature = std::move(signature);
                return true;
            }
            FMessage = avMessage;
            return false;
        }
        return SignStreamCms(cert, country, [data](const EVP_MD* md, std::string& digest) {
            const std::uint32_t error = ContentDigest::Of(md, data, digest);
            return error == 0 ? std::string() : CryptErrorText(error);
        });
    } catch (const std::bad_alloc&) {
        Fail(CryptErrorText(kErrorNotEnoughMemory));
        return false;
    } catch (const std::exception& e) {
        Fail(e.what());
        return false;
    }
}

bool TSign::SignStreamCms(const StoreCertificate& cert, const std::string& country,
                          const ContentDigester& digestContent) {
    Log(LogLine("выработка подписи начата"));
    const std::string hashOid =
        ChooseHashAlgorithm(FContext.options.hashAlgOID, country, cert.SignatureAlgorithmOid());
    if (hashOid.empty()) {
        Fail(kTextNoCountry);
        return false;
    }
    // What the platform's signing call does before it makes the signature: see that the key
    // can sign here at all, find the hash algorithm, open the key (asking for its password or
    // its token's PIN), and check that they go together. A cancelled prompt ends quietly.
    const auto refuse = [this](const KeyStatus& status) {
        if (status.error != kErrorCancelled)
            Fail(status.message);
        return false;
    };
    if (KeyStatus supported = cert.KeySupported(); !supported.Ok())
        return refuse(supported);
    const EVP_MD* md = FindDigestByOid(hashOid);
    if (md == nullptr)
        return refuse(KeyStatus::Of(kNteBadAlgId));
    if (!FKey) {
        OpenedKey opened = cert.OpenKey(FContext.passwordPrompt);
        if (!opened.key)
            return refuse(opened.status);
        FKey = std::move(opened.key);
    }
    if (FKeyCheckedMd != md) {
        if (KeyStatus accepted = FKey->CheckDigest(md); !accepted.Ok())
            return refuse(accepted);
        FKeyCheckedMd = md;
    }
    // The content is needed only now, for its digest: a file is read here, after whatever the
    // key asked for.
    std::string digest;
    if (std::string failure = digestContent(md, digest); !failure.empty()) {
        Fail(failure);
        return false;
    }
    const auto signingTime = FContext.clock ? FContext.clock() : std::chrono::system_clock::now();
    std::string der;
    CmsSignStage stage = CmsSignStage::Signing;
    if (KeyStatus signedStatus = FKey->SignDigest(digest, md, signingTime, der, stage);
        !signedStatus.Ok()) {
        if (stage == CmsSignStage::Signing)
            return refuse(signedStatus);
        Fail("Ошибка при подписи: " + std::to_string(signedStatus.error));
        return false;
    }
    Log(TimeStamp() + " подпись выработана");
    FSignature = Base64EncodeLines64(der);
    return true;
}

}  // namespace korvalo
