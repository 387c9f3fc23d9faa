#pragma once
// The maker's addresses built into Korvalo: the path-loader service's endpoint lists and the
// support mail address. They are kept here, and only here, so that a distributor changes them
// in one place. As delivered they name the stand-in of the maker's services that ./run.sh
// starts on this machine (standins/vendor-service, port 48090).

#include <array>

namespace korvalo {

// The default endpoint list (plDefault), tried in this order: the service's address server by
// host name, then by its two IP addresses.
inline constexpr std::array<const char*, 3> kDefaultPathLoaderEndpoints = {
    "http://localhost:48090/scripts/PathLoaderSrv.dll",
    "http://127.0.0.1:48090/scripts/PathLoaderSrv.dll",
    "http://[::1]:48090/scripts/PathLoaderSrv.dll",
};

// The test endpoint list (plLocal): the maker's internal test server.
inline constexpr std::array<const char*, 1> kTestPathLoaderEndpoints = {
    "http://127.0.0.1:48090/test/scripts/PathLoaderSrv.dll",
};

// Where the connection window's support link sends mail.
inline constexpr const char* kSupportMailAddress = "support@korvalo.example.org";

}  // namespace korvalo
