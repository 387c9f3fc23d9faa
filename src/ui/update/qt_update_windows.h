#pragma once
// The update component's windows as TUpdateComp asks for them: the splash and system-modal
// message boxes, shown on the user-interface thread.

#include "services/update/update_comp.h"
#include "ui/update/update_environment.h"

namespace korvalo {

class QtUpdateWindows : public IUpdateWindows {
public:
    explicit QtUpdateWindows(UpdateWindowsEnvironment environment = {})
        : environment_(std::move(environment)) {}

    UpdateVerdict ShowUpdateSplash(const UpdateSplashArgs& args) override;
    // Modal for the whole application, above every window, brought to the front; its object
    // name is "MessageBox". Yes is the default answer of a question.
    bool MessageBox(const std::string& text, const std::string& caption, Box box) override;

private:
    UpdateWindowsEnvironment environment_;
};

}  // namespace korvalo
