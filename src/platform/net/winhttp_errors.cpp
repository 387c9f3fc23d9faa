#include "platform/net/winhttp_errors.h"

#include <curl/curl.h>

namespace korvalo {

int WinHttpErrorNumber(int curlCode) {
    switch (static_cast<CURLcode>(curlCode)) {
        case CURLE_OPERATION_TIMEDOUT:
            return 12002;
        case CURLE_URL_MALFORMAT:
            return 12005;
        case CURLE_UNSUPPORTED_PROTOCOL:
            return 12006;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return 12007;
        case CURLE_ABORTED_BY_CALLBACK:
            return 12017;
        case CURLE_COULDNT_CONNECT:
        case CURLE_PROXY:
            return 12029;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
        case CURLE_BAD_CONTENT_ENCODING:
        case CURLE_HTTP3:
            return 12152;
        case CURLE_TOO_MANY_REDIRECTS:
            return 12156;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_USE_SSL_FAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CLIENTCERT:
            return 12175;
        case CURLE_OUT_OF_MEMORY:
        case CURLE_FAILED_INIT:
            return 12004;
        default:
            return 12030;
    }
}

std::string WinHttpErrorText(int winHttpNumber, std::string_view detail) {
    const char* meaning = "Ошибка соединения";
    switch (winHttpNumber) {
        case 12002:
            meaning = "Истекло время ожидания операции";
            break;
        case 12004:
            meaning = "Внутренняя ошибка";
            break;
        case 12005:
            meaning = "Недопустимый URL-адрес";
            break;
        case 12006:
            meaning = "Неизвестная схема URL-адреса";
            break;
        case 12007:
            meaning = "Не удается разрешить имя сервера";
            break;
        case 12017:
            meaning = "Операция отменена";
            break;
        case 12029:
            meaning = "Не удается установить соединение с сервером";
            break;
        case 12030:
            meaning = "Соединение с сервером прервано";
            break;
        case 12032:
            meaning = "Требуется повторная отправка запроса";
            break;
        case 12152:
            meaning = "Недопустимый ответ сервера";
            break;
        case 12156:
            meaning = "Ошибка перенаправления";
            break;
        case 12175:
            meaning = "Ошибка защищенного канала";
            break;
        default:
            break;
    }
    std::string text = std::to_string(winHttpNumber) + ": " + meaning;
    if (!detail.empty()) {
        text += " (";
        text += detail;
        text += ")";
    }
    return text;
}

std::string WinHttpErrorDescription(int winHttpNumber) {
    switch (winHttpNumber) {
        case 12002:
            return "The operation timed out";
        case 12004:
            return "An internal error occurred";
        case 12005:
            return "The URL is invalid";
        case 12006:
            return "The URL does not use a recognized protocol";
        case 12007:
            return "The server name or address could not be resolved";
        case 12017:
            return "The operation was canceled";
        case 12029:
            return "A connection with the server could not be established";
        case 12030:
            return "The connection with the server was terminated abnormally";
        case kWinHttpConnectionReset:
            return "The connection with the server was reset";
        case 12032:
            return "The request must be sent again";
        case 12152:
            return "The server returned an invalid or unrecognized response";
        case 12156:
            return "The HTTP redirect request failed";
        case 12175:
            return "A security error occurred";
        default:
            return "The connection with the server failed (" + std::to_string(winHttpNumber) + ")";
    }
}

}  // namespace korvalo
