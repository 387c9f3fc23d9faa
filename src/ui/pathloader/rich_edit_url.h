#pragma once
// TRichEditURL: a read-only rich-text box whose web and mail links are found in its text on
// their own and react to a click.

#include <QString>
#include <QStringList>
#include <QTextBrowser>
#include <vector>

namespace korvalo {

class TRichEditURL : public QTextBrowser {
    Q_OBJECT

public:
    explicit TRichEditURL(QWidget* parent = nullptr);

    // Empties the box.
    void Clear();
    // Adds text as one line, or several when it holds line breaks (CR LF, CR or LF), the
    // first boldChars characters in bold.
    void AddLine(const QString& text, int boldChars = 0);
    // The lines as added (a line with breaks counts as several).
    const QStringList& Lines() const { return lines_; }
    // The links found in the text, in order.
    const QStringList& Links() const { return links_; }

    // Where links start: "http://", "https://", "ftp://", "file://", "mailto:", "www."
    // (any letter case). A link runs to the next blank; trailing punctuation and a closing
    // bracket without its opening one are not part of it.
    static QStringList FindLinks(const QString& line, std::vector<int>* starts = nullptr);

signals:
    // A link was clicked with the left button; url is the link's text.
    void URLClick(const QString& url);

private:
    void Render();

    QStringList lines_;
    std::vector<int> boldChars_;
    QStringList links_;
};

}  // namespace korvalo
