#pragma once
// Read-only HTML views of the signing dialogs: they show the text they are given and load
// nothing from outside it; and the message view's loading of the message file.

#include <QFont>
#include <QObject>
#include <QString>
#include <QTextBrowser>
#include <QTextDocument>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace korvalo {

// A resource named by a text: the content of a "data:" URL (an image for an image, text for a
// style sheet); for any other name an empty resource, and nothing is read. Any thread.
QVariant ClosedResource(int type, const QUrl& name);

// A text document whose resources (images, style sheets) come only from the text itself:
// "data:" URLs are decoded and used; every other reference (a file, a relative path, a
// Qt resource, a network address) gets an empty resource and nothing is read. Qt's rich text
// has no scripts, so none run. May be built on any thread.
class ClosedTextDocument : public QTextDocument {
    Q_OBJECT

public:
    explicit ClosedTextDocument(QObject* parent = nullptr) : QTextDocument(parent) {}

protected:
    QVariant loadResource(int type, const QUrl& name) override;
};

// A read-only rich-text view over a ClosedTextDocument: links are not followed, no resource
// outside the text is loaded.
class HtmlView : public QTextBrowser {
    Q_OBJECT

public:
    explicit HtmlView(QWidget* parent = nullptr);

    // Shows document (made on any thread and moved to this view's thread) in place of the
    // current one; the view takes it over.
    void ShowDocument(std::unique_ptr<QTextDocument> document);

protected:
    // The view never opens what a link or a source names.
    void doSetSource(const QUrl& name, QTextDocument::ResourceType type) override;
    QVariant loadResource(int type, const QUrl& name) override;
};

// The message file's bytes as text. The file holds the message in code page 1251, as the
// endpoint writes it; a text that starts with the UTF-8 byte-order mark, or that declares the
// charset UTF-8 in its first 4096 bytes and is valid UTF-8, is read as UTF-8 instead.
QString DecodeMessageBytes(const std::string& bytes);

// The message document for the view: the text as HTML, with font as its default font.
// May run on any thread.
std::unique_ptr<QTextDocument> BuildMessageDocument(const QString& text, const QFont& font);

// Reads and lays out the message file on a thread of its own, so that a message of several
// megabytes does not hold up the UI thread; finished() is emitted on the owner's thread when
// the document (or the failure text) is ready. Destroying the loader waits for its thread.
class MessageLoader : public QObject {
    Q_OBJECT

public:
    explicit MessageLoader(QObject* parent = nullptr) : QObject(parent) {}
    ~MessageLoader() override;

    // Starts loading file with font as the document's default font. Once per loader.
    void Start(const std::filesystem::path& file, const QFont& font);

    bool Finished() const;
    // After finished(): the document (nothing after a failure), and the failure text.
    std::unique_ptr<QTextDocument> TakeDocument();
    QString Failure() const;

signals:
    void finished();

private:
    void Load(const std::filesystem::path& file, QFont font, QThread* target);

    mutable std::mutex mutex_;
    std::thread thread_;
    bool finished_ = false;
    std::unique_ptr<QTextDocument> document_;
    QString failure_;
};

}  // namespace korvalo
