#include "ui/dialogs/dialog_parts.h"

#include <QComboBox>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include "ui/dialogs/html_view.h"

namespace korvalo {

QWidget* MakePanel(QWidget* parent, const char* name, int width, int height) {
    auto* panel = new QWidget(parent);
    panel->setObjectName(QString::fromLatin1(name));
    panel->setFixedSize(width, height);
    return panel;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    return label;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& text) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

QFrame* MakeBevel(QWidget* parent, int width) {
    auto* bevel = new QFrame(parent);
    bevel->setObjectName(QStringLiteral("Bevel1"));
    bevel->setFrameShape(QFrame::HLine);
    bevel->setFrameShadow(QFrame::Sunken);
    bevel->setLineWidth(1);
    bevel->setGeometry(0, 0, width, 2);
    return bevel;
}

HtmlView* MakeCertViewer(QWidget* parent) {
    auto* viewer = new HtmlView(parent);
    viewer->setObjectName(QStringLiteral("HtmlViewer1"));
    QFont font(QStringLiteral("Times New Roman"));
    font.setPointSize(10);
    viewer->setFont(font);
    viewer->document()->setDefaultFont(font);
    return viewer;
}

QComboBox* MakeCertList(QWidget* parent) {
    auto* combo = new QComboBox(parent);
    combo->setObjectName(QStringLiteral("ComboBoxCerts"));
    combo->setEditable(false);
    combo->setMaxVisibleItems(16);
    return combo;
}

}  // namespace korvalo
