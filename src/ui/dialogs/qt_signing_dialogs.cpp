#include "ui/dialogs/qt_signing_dialogs.h"

#include "ui/dialogs/fsign.h"
#include "ui/dialogs/fsignjson.h"
#include "ui/dialogs/fsignmsg.h"

namespace korvalo {

QtSigningDialogs::QtSigningDialogs(DialogEnvironment environment)
    : passwordPrompt_(std::make_unique<QtKeyPasswordPrompt>()),
      environment_(std::move(environment)) {
    if (environment_.passwordPrompt == nullptr)
        environment_.passwordPrompt = passwordPrompt_.get();
}

int QtSigningDialogs::ShowSignMsgDialog(const SigningOptions& options, const std::string& fileName,
                                        std::string& signature, bool showMessage) {
    return korvalo::ShowSignMsgDialog(environment_, options, fileName, signature, showMessage);
}

int QtSigningDialogs::ShowSignFileDialog(const SigningOptions& options, std::string& fileName,
                                         std::string& signature, int mode,
                                         std::optional<ContentFingerprint>& signedContent) {
    return korvalo::ShowSignFileDialog(environment_, options, fileName, signature, mode,
                                       signedContent);
}

int QtSigningDialogs::ShowSignFilesDialog(const SigningOptions& options, TJobList& jobs,
                                          const std::string& preselect) {
    return korvalo::ShowSignFilesDialog(environment_, options, jobs, preselect);
}

}  // namespace korvalo
