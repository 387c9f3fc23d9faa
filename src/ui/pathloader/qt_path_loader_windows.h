#pragma once
// The path loader's windows as TPathLoader asks for them, shown on the user-interface thread.

#include "services/pathloader/path_loader.h"
#include "ui/pathloader/path_loader_environment.h"

namespace korvalo {

class QtPathLoaderWindows : public IPathLoaderWindows {
public:
    explicit QtPathLoaderWindows(PathLoaderEnvironment environment = {})
        : environment_(std::move(environment)) {}

    [[nodiscard]] bool ShowConnectionDialog(ConnectionDialogArgs& args) override;
    [[nodiscard]] int ShowMenuDialog(const std::string& caption, const std::string& menu) override;

private:
    PathLoaderEnvironment environment_;
};

}  // namespace korvalo
