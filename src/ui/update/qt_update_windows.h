#pragma once
// The update component's windows as TUpdateComp asks for them: the splash and system-modal
// message boxes, shown on the user-interface thread.

#include <QMessageBox>
#include <memory>

#include "services/update/update_comp.h"
#include "ui/update/update_environment.h"

namespace korvalo {

// A message box of the update component, not yet shown: modal for the whole application and
// above every window, named "MessageBox"; a question has the buttons "Да" (the default) and
// "Нет", the other boxes "OK".
std::unique_ptr<QMessageBox> MakeUpdateMessageBox(const std::string& text,
                                                  const std::string& caption,
                                                  IUpdateWindows::Box box);

class QtUpdateWindows : public IUpdateWindows {
public:
    explicit QtUpdateWindows(UpdateWindowsEnvironment environment = {})
        : environment_(std::move(environment)) {}

    UpdateVerdict ShowUpdateSplash(const UpdateSplashArgs& args) override;
    // The box of MakeUpdateMessageBox, brought to the front.
    bool MessageBox(const std::string& text, const std::string& caption, Box box) override;

private:
    UpdateWindowsEnvironment environment_;
};

}  // namespace korvalo
