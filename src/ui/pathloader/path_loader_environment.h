#pragma once
// What the path loader's windows need from outside: the application window, the browsers'
// proxies, the worker's SOAP client settings and the opening of links.

#include <QWidget>
#include <functional>
#include <string>

#include "services/soap/soap_client.h"

namespace korvalo {

// The connection window's proxy sources, read once when it is created.
struct BrowserProxies {
    int kind = 5;              // the default browser's kind (BrowserKind)
    std::string systemProxy;   // Internet Explorer's proxy: the system's
    std::string defaultProxy;  // the default browser's proxy
};

struct PathLoaderEnvironment {
    // The window that carries the application's task-bar button, or nullptr. While it is
    // hidden (or absent) the path loader's windows get a task-bar button of their own;
    // otherwise they stand over it.
    std::function<QWidget*()> applicationWindow;
    // The proxy sources (default: this machine's, BrowserProxyDiscovery).
    std::function<BrowserProxies()> browserProxies;
    // The SOAP client settings of each worker.
    SoapClientOptions soap;
    // Opens a web or mail address (default: the desktop's opener).
    std::function<void(const std::string&)> openUrl;

    // Fills what is left empty with this machine's defaults.
    static PathLoaderEnvironment WithDefaults(PathLoaderEnvironment environment);
};

}  // namespace korvalo
