#include "ui/pathloader/qt_path_loader_windows.h"

#include "ui/pathloader/fm_path_loader_connection.h"
#include "ui/pathloader/fm_path_loader_menu.h"

namespace korvalo {

bool QtPathLoaderWindows::ShowConnectionDialog(ConnectionDialogArgs& args) {
    return korvalo::ShowConnectionDialog(environment_, args);
}

int QtPathLoaderWindows::ShowMenuDialog(const std::string& caption, const std::string& menu) {
    return korvalo::ShowMenuDialog(environment_, caption, menu);
}

}  // namespace korvalo
