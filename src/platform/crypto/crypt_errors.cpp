#include "platform/crypto/crypt_errors.h"

#include <cerrno>

namespace korvalo {

std::string CryptErrorText(std::uint32_t code) {
    switch (code) {
        case 0:
            return "Операция успешно завершена.";
        case kErrorFileNotFound:
            return "Не удается найти указанный файл.";
        case kErrorPathNotFound:
            return "Не удается найти указанный путь.";
        case kErrorAccessDenied:
            return "Отказано в доступе.";
        case kErrorNotEnoughMemory:
            return "Недостаточно памяти для обработки команды.";
        case kErrorReadFault:
            return "Системе не удается произвести чтение с указанного устройства.";
        case kErrorFileTooLarge:
            return "Размер файла превышает установленное ограничение.";
        case kErrorCancelled:
            return "Операция была отменена пользователем.";
        case kNteBadHash:
            return "Неправильное значение хеша.";
        case kNteBadKey:
            return "Неправильный ключ.";
        case kNteBadAlgId:
            return "Указан неправильный алгоритм.";
        case kNteNoMemory:
            return "Недостаточно памяти для выполнения операции.";
        case kNteBadKeyset:
            return "Набор ключей не существует.";
        case kNteFail:
            return "Внутренняя ошибка.";
        case kNteSilentContext:
            return "Поставщик не смог выполнить действие, поскольку контекст был получен как "
                   "автоматический.";
        case kNteNotSupported:
            return "Запрошенная операция не поддерживается.";
        case kCryptENoKeyProperty:
            return "Не удается найти сертификат и закрытый ключ для расшифровки.";
        case kScardWRemovedCard:
            return "Смарт-карта или токен извлечены из считывателя. Вставьте их и повторите "
                   "подпись.";
        case kScardWWrongChv:
            return "Введён неверный PIN-код.";
        case kScardWChvBlocked:
            return "PIN-код заблокирован: исчерпано число попыток его ввода. Разблокируйте его "
                   "средствами токена или смарт-карты.";
        default:
            return "Неизвестная ошибка " + std::to_string(code);
    }
}

std::uint32_t ErrorCodeFromErrno(int err) {
    switch (err) {
        case ENOENT:
            return kErrorFileNotFound;
        case ENOTDIR:
        case ENAMETOOLONG:
            return kErrorPathNotFound;
        case EACCES:
        case EPERM:
        case EISDIR:
            return kErrorAccessDenied;
        case ENOMEM:
            return kErrorNotEnoughMemory;
        case EFBIG:
            return kErrorFileTooLarge;
        default:
            return kErrorReadFault;
    }
}

}  // namespace korvalo
