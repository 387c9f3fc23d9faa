#pragma once
// Options of a SOAP client made by a test: it takes no proxy from this machine unless given one.

#include <memory>
#include <utility>

#include "services/soap/soap_client.h"
#include "support/system_proxy_double.h"

namespace korvalo::testing {

// The system's proxy is `system` (none by default), and no address is exempt from it.
inline SoapClientOptions IsolatedSoapOptions(SystemProxy system = {}) {
    SoapClientOptions options;
    options.systemProxy = std::make_shared<FakeSystemProxy>(std::move(system));
    options.systemNoProxy = "";
    return options;
}

}  // namespace korvalo::testing
