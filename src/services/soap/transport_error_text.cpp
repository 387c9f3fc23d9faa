#include "services/soap/transport_error_text.h"

#include "core/text.h"

namespace korvalo {

std::string TransportErrorText(int statusCode, const std::string& message,
                               const TransportErrorWords& words) {
    switch (statusCode) {
        case 400:
            return words.badRequest;
        case 401:
            return "Не авторизован";
        case 403:
            return "Запрещено";
        case 404:
            return "Ресурс не найден";
        case 407:
            return "Необходима авторизация прокси";
        case 408:
            return "Время ожидания истекло";
        case 500:
            return "Внутренняя ошибка сервера";
        case 502:
            return words.badGateway;
        case 503:
            return "Сервис недоступен";
        default:
            break;
    }
    const std::string lower = ToLowerAscii(message);
    if (lower.find("a connection with the server could not be established") != std::string::npos)
        return "Невозможно установить соединение с сервером";
    if (words.resetText != nullptr &&
        lower.find("the connection with the server was reset") != std::string::npos)
        return words.resetText;
    return message;
}

}  // namespace korvalo
