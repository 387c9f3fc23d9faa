#include "state/log/log_lines.h"

#include "core/timestamp.h"

namespace korvalo::loglines {

std::string EndpointAddresses(const std::vector<std::string>& addresses, bool allInterfaces) {
    std::string list;
    for (const std::string& address : addresses)
        list += (list.empty() ? "" : ", ") + address;
    return LogLine("Korvalo принимает запросы на адресах " + list +
                   (allInterfaces ? " (все сетевые интерфейсы)" : " (только этот компьютер)"));
}

std::string ProtocolFileFailed() {
    return "Ошибка при создании файла протокола - запустите программу от имени Администратора";
}

std::string AlreadyExists() {
    return "ERROR_ALREADY_EXISTS";
}

std::string PostAdmitted(std::int64_t contentLength) {
    return LogLine("SS1: установлено соединение") + "\r\n" +
           LogLine("Контент принят ---> " + std::to_string(contentLength));
}

std::string ParsingParameters() {
    return LogLine("Разбор параметров");
}
std::string MissingParameters() {
    return LogLine("SS1: недостаточно параметров");
}
std::string MessageSigning() {
    return LogLine("Подпись сообщения");
}
std::string TempFolder(const std::string& folder) {
    return LogLine("Temp: " + folder);
}
std::string TempFolderRefused(const std::string& folder, const std::string& reason) {
    return LogLine("Временная папка " + folder + " не используется: " + reason);
}
std::string ExceptOnCommandGet() {
    return LogLine("Except onCommandGet");
}
std::string CommandOther() {
    return TimeStamp() + " --->*** HTTPServer1CommandOther";
}
std::string HandlerError(const std::string& message) {
    return LogLine("SS1 ошибка. " + message);
}

std::string ConnectionException(const std::string& message) {
    return LogLine("*** HTTPServer1Exception: " + message);
}

std::string RedirectedTo(const std::string& url) {
    return LogLine("Перенаправление на " + url);
}
std::string SendFailed(const std::string& message) {
    return LogLine("Ошибка отправки. " + message);
}

}  // namespace korvalo::loglines
