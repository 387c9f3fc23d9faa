#include "ui/dialogs/html_view.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QImage>
#include <QMetaObject>
#include <QPointer>
#include <QStringDecoder>
#include <QThread>
#include <QUrl>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <regex>

#include "core/text.h"

namespace korvalo {

namespace {

// The content of a "data:" URL ("data:[<type>][;base64],<data>"); false when it is not one.
[[nodiscard]] bool DecodeDataUrl(const QUrl& url, QByteArray& payload) {
    if (url.scheme().compare(QLatin1String("data"), Qt::CaseInsensitive) != 0)
        return false;
    const QByteArray whole = url.path(QUrl::FullyEncoded).toLatin1();
    const qsizetype comma = whole.indexOf(',');
    if (comma < 0)
        return false;
    const QByteArray header = whole.left(comma).trimmed().toLower();
    payload = QByteArray::fromPercentEncoding(whole.mid(comma + 1));
    if (header.endsWith(";base64"))
        payload = QByteArray::fromBase64(payload);
    return true;
}

bool IsValidUtf8(const std::string& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded =
        decoder.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    return !decoder.hasError();
}

QString FromUtf8(std::string_view bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// The charset a document names in its head ("<meta charset=...>" or "...; charset=..."),
// lower-cased; empty when it names none.
std::string DeclaredCharset(const std::string& bytes) {
    static const std::regex pattern(R"(charset\s*=\s*["']?\s*([A-Za-z0-9._:-]+))",
                                    std::regex::icase);
    const std::string head = bytes.substr(0, 4096);
    std::smatch match;
    if (!std::regex_search(head, match, pattern))
        return {};
    return ToLowerAscii(match[1].str());
}

QString ReadFailureText(const std::filesystem::path& file, int error) {
    QString reason;
    switch (error) {
        case ENOENT:
            reason = QStringLiteral("файл не найден");
            break;
        case EACCES:
        case EPERM:
            reason = QStringLiteral("доступ запрещен");
            break;
        case EISDIR:
            reason = QStringLiteral("это папка");
            break;
        case ENOMEM:
            reason = QStringLiteral("недостаточно памяти");
            break;
        default:
            reason = QStringLiteral("ошибка %1").arg(error);
            break;
    }
    return QStringLiteral("Не удалось открыть файл сообщения %1: %2")
        .arg(QString::fromStdString(file.string()), reason);
}

}  // namespace

// ---- ClosedTextDocument ----------------------------------------------------------------------

QVariant ClosedResource(int type, const QUrl& name) {
    QByteArray payload;
    if (DecodeDataUrl(name, payload)) {
        if (type == QTextDocument::ImageResource)
            return QImage::fromData(payload);
        if (type == QTextDocument::StyleSheetResource)
            return QString::fromUtf8(payload);
        return payload;
    }
    // An empty resource that is valid, so that no fallback tries to read a file in its place.
    if (type == QTextDocument::ImageResource)
        return QImage();
    if (type == QTextDocument::StyleSheetResource)
        return QString();
    return QByteArray();
}

QVariant ClosedTextDocument::loadResource(int type, const QUrl& name) {
    return ClosedResource(type, name);
}

// ---- HtmlView --------------------------------------------------------------------------------

HtmlView::HtmlView(QWidget* parent) : QTextBrowser(parent) {
    setDocument(new ClosedTextDocument(this));
    setReadOnly(true);
    setOpenLinks(false);
    setOpenExternalLinks(false);
    setUndoRedoEnabled(false);
}

void HtmlView::ShowDocument(std::unique_ptr<QTextDocument> document) {
    QTextDocument* previous = this->document();
    QTextDocument* next = document.release();
    next->setParent(this);
    next->setUndoRedoEnabled(false);
    setDocument(next);
    if (previous != nullptr && previous->parent() == this)
        delete previous;
}

void HtmlView::doSetSource(const QUrl&, QTextDocument::ResourceType) {}

QVariant HtmlView::loadResource(int type, const QUrl& name) {
    return ClosedResource(type, name);
}

// ---- the message ------------------------------------------------------------------------------

QString DecodeMessageBytes(const std::string& bytes) {
    static constexpr std::string_view kBom = "\xEF\xBB\xBF";
    if (bytes.compare(0, kBom.size(), kBom) == 0)
        return FromUtf8(std::string_view(bytes).substr(kBom.size()));
    const std::string charset = DeclaredCharset(bytes);
    if ((charset == "utf-8" || charset == "utf8") && IsValidUtf8(bytes))
        return FromUtf8(bytes);
    return QString::fromStdString(FromCp1251(bytes));
}

std::unique_ptr<QTextDocument> BuildMessageDocument(const QString& text, const QFont& font) {
    auto document = std::make_unique<ClosedTextDocument>();
    document->setUndoRedoEnabled(false);
    document->setDefaultFont(font);
    document->setHtml(text);
    return document;
}

// ---- MessageLoader ----------------------------------------------------------------------------

MessageLoader::~MessageLoader() {
    if (thread_.joinable())
        thread_.join();
}

void MessageLoader::Start(const std::filesystem::path& file, const QFont& font) {
    if (thread_.joinable())
        return;
    thread_ = std::thread(&MessageLoader::Load, this, file, font, thread());
}

void MessageLoader::Load(const std::filesystem::path& file, QFont font, QThread* target) {
    std::unique_ptr<QTextDocument> document;
    QString failure;
    try {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            failure = ReadFailureText(file, errno);
        } else {
            std::string bytes((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
            if (in.bad()) {
                failure = ReadFailureText(file, errno);
            } else {
                document = BuildMessageDocument(DecodeMessageBytes(bytes), font);
                document->moveToThread(target);
            }
        }
    } catch (const std::bad_alloc&) {
        document.reset();
        failure = ReadFailureText(file, ENOMEM);
    } catch (const std::exception& e) {
        document.reset();
        failure = QString::fromUtf8(e.what());
    }
    {
        std::lock_guard lock(mutex_);
        document_ = std::move(document);
        failure_ = failure;
        finished_ = true;
    }
    // The loader outlives this thread (its destructor joins it), so the queued call finds it.
    QMetaObject::invokeMethod(this, &MessageLoader::finished, Qt::QueuedConnection);
}

bool MessageLoader::Finished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

std::unique_ptr<QTextDocument> MessageLoader::TakeDocument() {
    std::lock_guard lock(mutex_);
    return std::move(document_);
}

QString MessageLoader::Failure() const {
    std::lock_guard lock(mutex_);
    return failure_;
}

}  // namespace korvalo
