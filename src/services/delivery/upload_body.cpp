#include "services/delivery/upload_body.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace korvalo {

namespace {

std::size_t CopyPart(const std::string& part, std::size_t& offset, char* buffer,
                     std::size_t capacity) {
    const std::size_t n = std::min(capacity, part.size() - offset);
    std::memcpy(buffer, part.data() + offset, n);
    offset += n;
    return n;
}

std::string ChangedAfterSigning(const std::string& fileName, const char* outcome) {
    return "Файл \"" + fileName + "\" изменился после подписи: отправка " + outcome + ".";
}

}  // namespace

MultipartFileBody::MultipartFileBody(std::string head, const std::string& fileName,
                                     std::string tail,
                                     std::optional<ContentFingerprint> signedContent)
    : head_(std::move(head)),
      tail_(std::move(tail)),
      fileName_(fileName),
      reader_(fileName),
      signedContent_(signedContent) {
    if (reader_.failure() != SteadyFileReader::Failure::None) {
        throw std::runtime_error("Cannot open file \"" + fileName + "\". " +
                                 std::strerror(reader_.errorNumber()));
    }
    if (signedContent_) {
        if (signedContent_->size != reader_.size())
            throw UploadFileError(ChangedAfterSigning(fileName_, "отменена"));
        fingerprint_.emplace();
    }
}

std::uint64_t MultipartFileBody::Size() const {
    return head_.size() + reader_.size() + tail_.size();
}

std::size_t MultipartFileBody::Read(char* buffer, std::size_t capacity) {
    std::size_t filled = 0;
    while (filled < capacity && phase_ != Phase::Done) {
        switch (phase_) {
            case Phase::Head:
                filled += CopyPart(head_, offset_, buffer + filled, capacity - filled);
                if (offset_ == head_.size())
                    phase_ = Phase::File;
                break;
            case Phase::File:
                if (const std::size_t n = reader_.Read(buffer + filled, capacity - filled)) {
                    if (fingerprint_)
                        fingerprint_->Add(std::string_view(buffer + filled, n));
                    filled += n;
                    break;
                }
                CheckFileEnd();
                phase_ = Phase::Tail;
                offset_ = 0;
                break;
            case Phase::Tail:
                filled += CopyPart(tail_, offset_, buffer + filled, capacity - filled);
                if (offset_ == tail_.size())
                    phase_ = Phase::Done;
                break;
            case Phase::Done:
                break;
        }
    }
    return filled;
}

void MultipartFileBody::CheckFileEnd() {
    switch (reader_.failure()) {
        case SteadyFileReader::Failure::None:
            break;
        case SteadyFileReader::Failure::Changed:
            throw UploadFileError("Файл \"" + fileName_ +
                                  "\" изменился во время отправки: отправка прервана.");
        default:
            ThrowReadFailure();
    }
    if (fingerprint_ && fingerprint_->Finish() != *signedContent_)
        throw UploadFileError(ChangedAfterSigning(fileName_, "прервана"));
}

void MultipartFileBody::ThrowReadFailure() const {
    throw UploadFileError("Ошибка чтения файла \"" + fileName_ +
                          "\": " + std::strerror(reader_.errorNumber()) + ". Отправка прервана.");
}

void MultipartFileBody::Rewind() {
    if (!reader_.Rewind())
        ThrowReadFailure();
    if (fingerprint_)
        fingerprint_->Reset();
    phase_ = Phase::Head;
    offset_ = 0;
}

}  // namespace korvalo
