#pragma once
// What the signing dialogs need of Korvalo besides the request: the engines' environment and
// the file choice of the file dialog.

#include <QString>
#include <functional>
#include <optional>

#include "services/engines/sign_engines.h"

class QWidget;

namespace korvalo {

struct DialogEnvironment : SigningEnvironment {
    explicit DialogEnvironment(ILogSink& log) : SigningEnvironment(log) {}
    // The environment of the engines, with the standard file choice.
    DialogEnvironment(const SigningEnvironment& signing)  // NOLINT: implicit by design
        : SigningEnvironment(signing) {}

    // The file choice of the file dialog: the chosen path, or nothing when the user cancels;
    // empty: ChooseFileToSign.
    std::function<std::optional<QString>(QWidget* owner)> chooseFile;
};

// The open-file dialog of the file dialog: owned by owner, titled "Выбор файла для подписи",
// no filter, no initial folder, existing files only. The chosen path, or nothing on cancel.
[[nodiscard]] std::optional<QString> ChooseFileToSign(QWidget* owner);

}  // namespace korvalo
