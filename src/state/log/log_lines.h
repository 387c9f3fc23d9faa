#pragma once
// The activity-log lines of start-up and of the endpoint, in their fixed shapes.

#include <cstdint>
#include <string>
#include <vector>

namespace korvalo::loglines {

// Start-up opened the endpoint on these addresses ("127.0.0.1:48051"...); allInterfaces says
// that they are the wildcard addresses of every interface.
std::string EndpointAddresses(const std::vector<std::string>& addresses, bool allInterfaces);
// Start-up could not create the protocol file (no time stamp).
std::string ProtocolFileFailed();
// A request arrived while a signing procedure runs (no time stamp).
std::string AlreadyExists();
// A POST was admitted: two time-stamped lines in one entry, the second ending with the
// Content-Length (-1 when absent).
std::string PostAdmitted(std::int64_t contentLength);
std::string ParsingParameters();
std::string MissingParameters();
std::string MessageSigning();
std::string TempFolder(const std::string& folder);
// The temporary folder may not be used (a link, another user's, open to others...).
std::string TempFolderRefused(const std::string& folder, const std::string& reason);
std::string ExceptOnCommandGet();
std::string CommandOther();
std::string HandlerError(const std::string& message);
std::string ConnectionException(const std::string& message);
std::string RedirectedTo(const std::string& url);
std::string SendFailed(const std::string& message);

}  // namespace korvalo::loglines
