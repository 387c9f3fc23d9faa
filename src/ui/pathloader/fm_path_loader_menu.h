#pragma once
// TfmPathLoaderMenu: the path loader's connection-choice window, one button per connection.

#include <QDialog>
#include <QString>
#include <QStringList>
#include <string>

#include "ui/pathloader/path_loader_environment.h"

class QGroupBox;
class QPushButton;

namespace korvalo {

class TfmPathLoaderMenu : public QDialog {
    Q_OBJECT

public:
    // The window as designed (client area 330 x 141, for two buttons), with its caption.
    TfmPathLoaderMenu(const PathLoaderEnvironment& environment, const QString& caption);

    // One button per entry below the first placeholder, 40 pixels apart (the distance between
    // the placeholders' tops), with the entry as caption and its index as tag; the window grows
    // by that distance for every entry past two and is centred in the work area.
    void AddButtons(const QStringList& entries);

    int Choice() const { return FChoice; }
    bool HasOwnTaskbarButton() const { return ownTaskbarButton_; }
    QGroupBox* GbChoice() const { return gbChoice_; }
    QPushButton* BtnDummy1() const { return btnDummy1_; }
    QPushButton* BtnDummy2() const { return btnDummy2_; }
    // The buttons made for the entries, in order.
    const QList<QPushButton*>& Buttons() const { return buttons_; }

private:
    bool ownTaskbarButton_ = false;
    QGroupBox* gbChoice_;
    QPushButton* btnDummy1_;
    QPushButton* btnDummy2_;
    QList<QPushButton*> buttons_;
    int FChoice = 0;
};

// Runs the choice window modally (UI thread): the 0-based index of the entry clicked, or -1
// when the window was closed without a choice. menu holds one entry a line.
[[nodiscard]] int ShowMenuDialog(const PathLoaderEnvironment& environment,
                                 const std::string& caption, const std::string& menu);

}  // namespace korvalo
