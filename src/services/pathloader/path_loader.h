#pragma once
// TPathLoader: the non-visual component that asks the maker's path-loader service which server
// paths a client software is to use, through the connection window (which runs the worker)
// and, for a menu of several connections, the connection-choice window.

#include <stdexcept>
#include <string>
#include <vector>

#include "state/settings/settings.h"

namespace korvalo {

using TPathLoaderURLType = PathLoaderUrlType;
enum class TPathLoaderLanguage { plRussian = 0, plEnglish = 1 };

// What ShowConnectionDialog is given and gives back.
struct ConnectionDialogArgs {
    std::string Caption;
    std::string PathLoaderURL;  // the endpoint list, one endpoint a line
    int ConnectionDelay = 0;    // seconds
    bool AllowSetProxy = true;
    std::string SoftwareID;
    std::string MenuID;
    // In and out: after true, what the user left in the window (Proxy empty when the field
    // showed the system's proxy).
    std::string Proxy;
    std::string ProxyUserName;
    std::string ProxyPassword;
    // Out.
    std::string MenuList;      // after true
    std::string PathList;      // after true
    std::string ErrorMessage;  // after false: the error shown, if the window was in its error
                               // state
};

// The path loader's two windows; the Qt implementation shows them modally.
class IPathLoaderWindows {
public:
    virtual ~IPathLoaderWindows() = default;
    // True when the worker delivered a menu list and a path list; false when the user closed
    // the window.
    [[nodiscard]] virtual bool ShowConnectionDialog(ConnectionDialogArgs& args) = 0;
    // The 0-based index of the connection the user clicked, or -1 when the window was closed
    // without a choice. menu holds one entry a line.
    [[nodiscard]] virtual int ShowMenuDialog(const std::string& caption,
                                             const std::string& menu) = 0;
};

// Execute could not pick the chosen connection's paths: the service sent fewer path lines than
// menu lines, or an empty path line for the chosen one.
class PathLoaderListIndexError : public std::out_of_range {
public:
    explicit PathLoaderListIndexError(int index);
};

// The built-in endpoint lists, one endpoint a line (CR LF between lines).
std::string DefaultPathLoaderURLText();
std::string TestPathLoaderURLText();

class TPathLoader {
public:
    // A new component: ConnectionDelay 3, AllowSetProxy on, plDefault with the default
    // endpoint list in PathLoaderURL, plRussian, every text empty. windows must outlive it;
    // without windows Execute fails.
    explicit TPathLoader(IPathLoaderWindows* windows = nullptr);

    void SetWindows(IPathLoaderWindows* windows) { windows_ = windows; }

    // ---- published properties ----
    const std::string& Caption() const { return caption_; }
    void SetCaption(std::string value) { caption_ = std::move(value); }
    int ConnectionDelay() const { return connectionDelay_; }
    void SetConnectionDelay(int seconds) { connectionDelay_ = seconds; }
    bool AllowSetProxy() const { return allowSetProxy_; }
    void SetAllowSetProxy(bool value) { allowSetProxy_ = value; }
    const std::string& SoftwareID() const { return softwareId_; }
    void SetSoftwareID(std::string value) { softwareId_ = std::move(value); }
    const std::string& MenuID() const { return menuId_; }
    void SetMenuID(std::string value) { menuId_ = std::move(value); }
    TPathLoaderURLType PathLoaderURLType() const { return urlType_; }
    void SetPathLoaderURLType(TPathLoaderURLType value) { urlType_ = value; }
    // The endpoint list of plCustom; assigning copies all lines at once.
    const std::vector<std::string>& PathLoaderURL() const { return pathLoaderUrl_; }
    void SetPathLoaderURL(std::vector<std::string> lines) { pathLoaderUrl_ = std::move(lines); }
    const std::string& Proxy() const { return proxy_; }
    void SetProxy(std::string value) { proxy_ = std::move(value); }
    const std::string& ProxyUserName() const { return proxyUserName_; }
    void SetProxyUserName(std::string value) { proxyUserName_ = std::move(value); }
    const std::string& ProxyPassword() const { return proxyPassword_; }
    void SetProxyPassword(std::string value) { proxyPassword_ = std::move(value); }
    TPathLoaderLanguage Language() const { return language_; }
    void SetLanguage(TPathLoaderLanguage value) { language_ = value; }
    // Always "PathLoader Client Component v2.02"; assigning changes nothing.
    static std::string About() { return "PathLoader Client Component v2.02"; }
    void SetAbout(const std::string& /*ignored*/) {}

    // ---- results, reset by every Execute ----
    const std::string& MenuCaption() const { return menuCaption_; }
    const std::vector<std::string>& Paths() const { return paths_; }
    const std::string& BasePath() const { return basePath_; }
    const std::string& ErrorMessage() const { return errorMessage_; }

    // The endpoint list Execute uses, one endpoint a line: the default list, the test list, or
    // (plCustom) PathLoaderURL's lines, the default list when they make no text.
    std::string EndpointText() const;

    // Runs the connection window and, for a menu of several connections, the choice window;
    // UI thread, modal, not re-entrant. True when a connection was chosen: MenuCaption, Paths
    // and BasePath hold it, and Proxy, ProxyUserName and ProxyPassword what the user left in
    // the window. Throws PathLoaderListIndexError when the chosen connection has no path line
    // or an empty one, std::logic_error without windows.
    [[nodiscard]] bool Execute();

private:
    IPathLoaderWindows* windows_;
    std::string caption_;
    int connectionDelay_ = 3;
    bool allowSetProxy_ = true;
    std::string softwareId_;
    std::string menuId_;
    TPathLoaderURLType urlType_ = TPathLoaderURLType::plDefault;
    std::vector<std::string> pathLoaderUrl_;
    std::string proxy_;
    std::string proxyUserName_;
    std::string proxyPassword_;
    TPathLoaderLanguage language_ = TPathLoaderLanguage::plRussian;

    std::string menuCaption_;
    std::vector<std::string> paths_;
    std::string basePath_;
    std::string errorMessage_;
};

}  // namespace korvalo
