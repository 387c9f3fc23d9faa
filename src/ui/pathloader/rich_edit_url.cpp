#include "ui/pathloader/rich_edit_url.h"

#include <QRegularExpression>
#include <QTextCursor>
#include <QUrl>

namespace korvalo {

namespace {

constexpr const char* kLinkPrefix = "korvalo-link:";

bool IsBlank(QChar c) {
    return c.isSpace() || c.unicode() < 32;
}

// Characters that end a link when they stand last.
bool IsTrailingPunctuation(QChar c) {
    return QStringLiteral(".,;:!?'\"").contains(c);
}

}  // namespace

TRichEditURL::TRichEditURL(QWidget* parent) : QTextBrowser(parent) {
    setReadOnly(true);
    setOpenLinks(false);
    setOpenExternalLinks(false);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setUndoRedoEnabled(false);
    connect(this, &QTextBrowser::anchorClicked, this, [this](const QUrl& url) {
        try {
            const QString text = url.toString();
            if (!text.startsWith(QLatin1String(kLinkPrefix)))
                return;
            bool ok = false;
            const int index = text.mid(static_cast<int>(qstrlen(kLinkPrefix))).toInt(&ok);
            if (ok && index >= 0 && index < links_.size())
                emit URLClick(links_[index]);
        } catch (...) {
            // A failing handler does not take the box down.
        }
    });
}

void TRichEditURL::Clear() {
    lines_.clear();
    boldChars_.clear();
    Render();
}

void TRichEditURL::AddLine(const QString& text, int boldChars) {
    static const QRegularExpression breaks(QStringLiteral("\r\n|\r|\n"));
    const QStringList parts = text.split(breaks);
    for (int i = 0; i < parts.size(); ++i) {
        lines_ << parts[i];
        boldChars_.push_back(i == 0 ? boldChars : 0);
    }
    Render();
}

QStringList TRichEditURL::FindLinks(const QString& line, std::vector<int>* starts) {
    static const QStringList prefixes = {
        QStringLiteral("http://"), QStringLiteral("https://"), QStringLiteral("ftp://"),
        QStringLiteral("file://"), QStringLiteral("mailto:"),  QStringLiteral("www."),
    };
    QStringList links;
    int i = 0;
    while (i < line.size()) {
        const bool wordStart = i == 0 || !line[i - 1].isLetterOrNumber();
        bool found = false;
        for (const QString& prefix : prefixes) {
            if (!wordStart || line.mid(i, prefix.size()).compare(prefix, Qt::CaseInsensitive) != 0)
                continue;
            int end = i;
            while (end < line.size() && !IsBlank(line[end]))
                ++end;
            QString link = line.mid(i, end - i);
            for (;;) {
                if (!link.isEmpty() && IsTrailingPunctuation(link.back())) {
                    link.chop(1);
                } else if (link.endsWith(QLatin1Char(')')) &&
                           link.count(QLatin1Char('(')) < link.count(QLatin1Char(')'))) {
                    link.chop(1);
                } else {
                    break;
                }
            }
            if (link.size() > prefix.size()) {
                links << link;
                if (starts != nullptr)
                    starts->push_back(i);
                i += static_cast<int>(link.size());
                found = true;
            }
            break;
        }
        if (!found)
            ++i;
    }
    return links;
}

void TRichEditURL::Render() {
    clear();
    links_.clear();
    QTextCursor cursor(document());
    QTextCharFormat plain;
    QTextCharFormat bold;
    bold.setFontWeight(QFont::Bold);
    for (int l = 0; l < lines_.size(); ++l) {
        if (l > 0)
            cursor.insertBlock();
        const QString& line = lines_[l];
        std::vector<int> starts;
        const QStringList found = FindLinks(line, &starts);
        // Plain runs with the bold head, and the links between them.
        auto insertPlain = [&](int from, int to) {
            const int boldEnd = std::min(to, std::max(from, boldChars_[l]));
            if (boldEnd > from)
                cursor.insertText(line.mid(from, boldEnd - from), bold);
            if (to > boldEnd)
                cursor.insertText(line.mid(boldEnd, to - boldEnd), plain);
        };
        int at = 0;
        for (int k = 0; k < found.size(); ++k) {
            insertPlain(at, starts[k]);
            QTextCharFormat link = starts[k] < boldChars_[l] ? bold : plain;
            link.setAnchor(true);
            link.setAnchorHref(QLatin1String(kLinkPrefix) + QString::number(links_.size()));
            link.setForeground(QColor(0, 0, 238));
            link.setFontUnderline(true);
            cursor.insertText(found[k], link);
            links_ << found[k];
            at = starts[k] + static_cast<int>(found[k].size());
        }
        insertPlain(at, static_cast<int>(line.size()));
    }
}

}  // namespace korvalo
