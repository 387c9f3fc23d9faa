#include "services/pathloader/path_loader.h"

#include "core/text.h"
#include "services/pathloader/vendor_addresses.h"

namespace korvalo {

namespace {

template <typename List>
std::string JoinLines(const List& lines) {
    std::string text;
    for (const auto& line : lines) {
        if (!text.empty())
            text += "\r\n";
        text += line;
    }
    return text;
}

// A text from the service as lines: every LF becomes CR LF first, so a CR LF pair sent by the
// service gives an extra empty line.
std::vector<std::string> ServiceLines(const std::string& text) {
    return SplitLines(ReplaceAll(text, "\n", "\r\n"));
}

}  // namespace

PathLoaderListIndexError::PathLoaderListIndexError(int index)
    : std::out_of_range("List index out of bounds (" + std::to_string(index) + ")") {}

std::string DefaultPathLoaderURLText() {
    return JoinLines(kDefaultPathLoaderEndpoints);
}

std::string TestPathLoaderURLText() {
    return JoinLines(kTestPathLoaderEndpoints);
}

TPathLoader::TPathLoader(IPathLoaderWindows* windows)
    : windows_(windows),
      pathLoaderUrl_(kDefaultPathLoaderEndpoints.begin(), kDefaultPathLoaderEndpoints.end()) {}

std::string TPathLoader::EndpointText() const {
    switch (urlType_) {
        case TPathLoaderURLType::plLocal:
            return TestPathLoaderURLText();
        case TPathLoaderURLType::plCustom: {
            std::string text = JoinLines(pathLoaderUrl_);
            return text.empty() ? DefaultPathLoaderURLText() : text;
        }
        case TPathLoaderURLType::plDefault:
            break;
    }
    return DefaultPathLoaderURLText();
}

bool TPathLoader::Execute() {
    paths_.clear();
    menuCaption_.clear();
    basePath_.clear();
    errorMessage_.clear();
    int choice = 0;
    if (windows_ == nullptr)
        throw std::logic_error("TPathLoader has no windows to run");

    ConnectionDialogArgs args;
    args.Caption = caption_;
    args.PathLoaderURL = EndpointText();
    args.ConnectionDelay = connectionDelay_;
    args.AllowSetProxy = allowSetProxy_;
    args.SoftwareID = softwareId_;
    args.MenuID = menuId_;
    args.Proxy = proxy_;
    args.ProxyUserName = proxyUserName_;
    args.ProxyPassword = proxyPassword_;
    const bool connected = windows_->ShowConnectionDialog(args);
    errorMessage_ = args.ErrorMessage;
    if (!connected)
        return false;
    proxy_ = args.Proxy;
    proxyUserName_ = args.ProxyUserName;
    proxyPassword_ = args.ProxyPassword;

    const std::vector<std::string> menu = ServiceLines(args.MenuList);
    if (menu.size() >= 2)
        choice = windows_->ShowMenuDialog(caption_, JoinLines(menu));
    if (choice < 0 || static_cast<std::size_t>(choice) >= menu.size())
        return false;
    menuCaption_ = menu[static_cast<std::size_t>(choice)];

    const std::vector<std::string> pathLines = ServiceLines(args.PathList);
    if (static_cast<std::size_t>(choice) >= pathLines.size())
        throw PathLoaderListIndexError(choice);
    paths_ = SplitLines(ReplaceAll(pathLines[static_cast<std::size_t>(choice)], "\t", "\r\n"));
    if (paths_.empty())
        throw PathLoaderListIndexError(0);
    basePath_ = paths_.front();
    return true;
}

}  // namespace korvalo
