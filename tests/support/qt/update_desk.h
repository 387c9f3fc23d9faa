#pragma once
// The person at the desk for the update component's windows: sees every splash and message box
// that comes up and answers the boxes.

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>

#include "ui/update/fm_splash_renovar.h"

namespace korvalo::testing {

// While it lives: every splash and message box shown, in order ("splash", or "caption|text|
// icon" of a box with icon "-", "error" or "question"), with each box answered: a question
// with Yes or No as told, any other box with OK.
class UpdateDesk : public QObject {
public:
    explicit UpdateDesk(bool yes = true) : yes_(yes) { qApp->installEventFilter(this); }
    ~UpdateDesk() override { qApp->removeEventFilter(this); }
    QStringList seen;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Show)
            return false;
        if (qobject_cast<TFormSplashRenovar*>(watched) != nullptr) {
            seen << QStringLiteral("splash");
        } else if (auto* box = qobject_cast<QMessageBox*>(watched)) {
            const QString icon = box->icon() == QMessageBox::Critical   ? QStringLiteral("error")
                                 : box->icon() == QMessageBox::Question ? QStringLiteral("question")
                                                                        : QStringLiteral("-");
            seen << box->windowTitle() + "|" + box->text() + "|" + icon;
            QAbstractButton* button = box->button(QMessageBox::Ok);
            if (button == nullptr)
                button = box->button(yes_ ? QMessageBox::Yes : QMessageBox::No);
            if (button != nullptr)
                QTimer::singleShot(0, button, &QAbstractButton::click);
        }
        return false;
    }

private:
    bool yes_;
};

}  // namespace korvalo::testing
