#pragma once
// What the update component's windows need from outside: the application window and the
// worker's SOAP client settings.

#include <QWidget>
#include <functional>

#include "services/soap/soap_client.h"

namespace korvalo {

struct UpdateWindowsEnvironment {
    // The window that carries the application's task-bar button, or nullptr. While it is
    // hidden (or absent) the splash gets a task-bar button of its own; otherwise it stands
    // over it.
    std::function<QWidget*()> applicationWindow;
    // The SOAP client settings of each worker.
    SoapClientOptions soap;
};

}  // namespace korvalo
