#include "ui/pathloader/fm_path_loader_menu.h"

#include <QFont>
#include <QGroupBox>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>

#include "core/text.h"
#include "ui/toolkit/ui_thread.h"

namespace korvalo {

TfmPathLoaderMenu::TfmPathLoaderMenu(const PathLoaderEnvironment& environment,
                                     const QString& caption) {
    QWidget* application =
        environment.applicationWindow ? environment.applicationWindow() : nullptr;
    ownTaskbarButton_ = application == nullptr || !application->isVisible();
    setParent(ownTaskbarButton_ ? nullptr : application,
              (ownTaskbarButton_ ? Qt::Window : Qt::Dialog) | Qt::MSWindowsFixedSizeDialogHint |
                  Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                  Qt::WindowCloseButtonHint);
    setObjectName(QStringLiteral("fmPathLoaderMenu"));
    setModal(true);
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(11);
    setFont(font);
    setWindowTitle(caption);
    setFixedSize(330, 141);

    gbChoice_ = new QGroupBox(QStringLiteral("Выберите подключение:"), this);
    gbChoice_->setObjectName(QStringLiteral("gbChoice"));
    gbChoice_->setGeometry(16, 16, 298, 109);
    btnDummy1_ = new QPushButton(QStringLiteral("Место для кнопки 1"), gbChoice_);
    btnDummy1_->setObjectName(QStringLiteral("btnDummy1"));
    btnDummy1_->setGeometry(16, 24, 265, 25);
    btnDummy1_->hide();
    btnDummy2_ = new QPushButton(QStringLiteral("Место для кнопки 2"), gbChoice_);
    btnDummy2_->setObjectName(QStringLiteral("btnDummy2"));
    btnDummy2_->setGeometry(16, 64, 265, 25);
    btnDummy2_->hide();
}

void TfmPathLoaderMenu::AddButtons(const QStringList& entries) {
    const int distance = btnDummy2_->y() - btnDummy1_->y();
    for (int i = 0; i < entries.size(); ++i) {
        auto* button = new QPushButton(entries[i], gbChoice_);
        button->setObjectName(QStringLiteral("btnChoice%1").arg(i));
        button->setGeometry(btnDummy1_->x(), btnDummy1_->y() + i * distance, btnDummy1_->width(),
                            btnDummy1_->height());
        button->setProperty("tag", i);
        connect(button, &QPushButton::clicked, this, [this, button] {
            FChoice = button->property("tag").toInt();
            accept();
        });
        buttons_ << button;
    }
    // The group stretches with the window.
    const int growth = distance * (static_cast<int>(entries.size()) - 2);
    setFixedSize(width(), height() + growth);
    gbChoice_->resize(gbChoice_->width(), gbChoice_->height() + growth);

    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen != nullptr) {
        const QRect work = screen->availableGeometry();
        const QRect frame = frameGeometry();
        move(work.x() + (work.width() - frame.width()) / 2,
             work.y() + (work.height() - frame.height()) / 2);
    }
}

int ShowMenuDialog(const PathLoaderEnvironment& environment, const std::string& caption,
                   const std::string& menu) {
    return UiThread::Call([&] {
               TfmPathLoaderMenu window(environment, QString::fromStdString(caption));
               QStringList entries;
               for (const std::string& line : SplitLines(menu))
                   entries << QString::fromStdString(line);
               window.AddButtons(entries);
               return window.exec() == QDialog::Accepted ? window.Choice() : -1;
           })
        .value_or(-1);
}

}  // namespace korvalo
