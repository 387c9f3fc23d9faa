#include "codes.h"

namespace korvalo::avcm {

std::optional<std::string> CodeText(AvCmResult code) {
    switch (code) {
        case AVCM_E_INVALID_PARAMETER:
            return "Неверный параметр вызова";
        case AVCM_E_INVALID_HANDLE:
            return "Неверный дескриптор объекта";
        case AVCM_E_MORE_DATA:
            return "Недостаточный размер буфера";
        case AVCM_E_NOT_INITIALIZED:
            return "Библиотека не инициализирована";
        case AVCM_E_NO_MORE_ITEMS:
            return "Объект не найден";
        case kStoreNotOpened:
            return "Не удалось открыть хранилище сертификатов";
        case kCertificateNotFound:
            return "Сертификат не найден в хранилище";
        case kKeyNotAvailable:
            return "Личный ключ сертификата недоступен";
        case kKeyPasswordCancelled:
            return "Пароль личного ключа не указан";
        case kKeyPasswordWrong:
            return "Неверный пароль личного ключа";
        case kConnectionWithoutKey:
            return "Сеанс не связан с личным ключом";
        case kKeyAlgorithmNotSupported:
            return "Алгоритм личного ключа не поддерживается";
        case kSigningFailed:
            return "Ошибка выработки подписи";
        case kMessageState:
            return "Недопустимое состояние сообщения";
        case kAttrCertNotValidNow:
            return "Атрибутный сертификат недействителен в текущий момент";
        case kAttrCertOtherHolder:
            return "Атрибутный сертификат выдан для другого сертификата";
        case kNotAvailable:
            return "Функция недоступна в этой версии библиотеки";
        case kInternalError:
            return "Внутренняя ошибка библиотеки";
        default:
            return std::nullopt;
    }
}

}  // namespace korvalo::avcm
