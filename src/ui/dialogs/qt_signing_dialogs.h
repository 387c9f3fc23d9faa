#pragma once
// The signing dialogs as the endpoint asks for them (ISigningDialogs), over the Qt windows.

#include <memory>
#include <string>

#include "core/user_interface.h"
#include "ui/dialogs/dialog_environment.h"
#include "ui/dialogs/key_password_prompt.h"

namespace korvalo {

// Called on a connection thread: each routine runs its dialog on the UI thread and waits until
// it closes (ShowSignMsgDialog, ShowSignFileDialog, ShowSignFilesDialog). Protected keys of
// the store are asked for through the Qt password window unless the environment names another
// prompt.
class QtSigningDialogs : public ISigningDialogs {
public:
    explicit QtSigningDialogs(DialogEnvironment environment);

    [[nodiscard]] int ShowSignMsgDialog(const SigningOptions& options, const std::string& fileName,
                                        std::string& signature, bool showMessage) override;
    [[nodiscard]] int ShowSignFileDialog(const SigningOptions& options, std::string& fileName,
                                         std::string& signature, int mode,
                                         std::optional<ContentFingerprint>& signedContent) override;
    [[nodiscard]] int ShowSignFilesDialog(const SigningOptions& options, TJobList& jobs,
                                          const std::string& preselect) override;

    const DialogEnvironment& Environment() const { return environment_; }

private:
    std::unique_ptr<QtKeyPasswordPrompt> passwordPrompt_;
    DialogEnvironment environment_;
};

}  // namespace korvalo
