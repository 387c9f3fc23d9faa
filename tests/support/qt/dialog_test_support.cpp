#include "support/qt/dialog_test_support.h"

#include <QTest>
#include <atomic>
#include <stdexcept>

#include "core/base64.h"

namespace korvalo::dialogtest {

namespace {

class ScriptedEngine : public ISignEngine {
public:
    ScriptedEngine(EngineScript& script, ILogSink& log, EngineCall call)
        : script_(script), log_(log), call_(std::move(call)) {}

    bool Sign() override {
        const EngineStep step = script_.Next(call_);
        if (step.progress) {
            tellsProgress_ = true;
            progress_.Start(step.progress->unit, step.progress->total);
            progress_.Set(step.progress->done);
        }
        if (!step.logLine.empty())
            log_.PrintInfo(step.logLine);
        if (step.block)
            script_.WaitForRelease();
        if (!step.throwText.empty())
            throw std::runtime_error(step.throwText);
        if (step.ok)
            signature_ = step.signature;
        else
            message_ = step.message;
        return step.ok;
    }
    std::string Signature() const override { return signature_; }
    std::string message() const override { return message_; }
    const SigningProgress* Progress() const override {
        return tellsProgress_ ? &progress_ : nullptr;
    }

private:
    EngineScript& script_;
    ILogSink& log_;
    EngineCall call_;
    std::string signature_;
    std::string message_;
    SigningProgress progress_;
    std::atomic<bool> tellsProgress_{false};
};

class ScriptedFactory : public IEngineFactory {
public:
    ScriptedFactory(EngineScript& script, ILogSink& log) : script_(script), log_(log) {}
    std::unique_ptr<ISignEngine> MakeFileSigner(const std::string& fileName,
                                                const std::string& serialText) override {
        return std::make_unique<ScriptedEngine>(script_, log_,
                                                EngineCall{"file", fileName, serialText, 0});
    }
    std::unique_ptr<ISignEngine> MakeIdCardSigner(const std::string& fileName) override {
        return std::make_unique<ScriptedEngine>(script_, log_,
                                                EngineCall{"idcard", fileName, "", 0});
    }
    std::unique_ptr<ISignEngine> MakeBatchSigner(TJobList& jobs,
                                                 const std::string& serialText) override {
        return std::make_unique<ScriptedEngine>(script_, log_,
                                                EngineCall{"batch", "", serialText, jobs.size()});
    }

private:
    EngineScript& script_;
    ILogSink& log_;
};

}  // namespace

TestCert MakeFixtureCa() {
    CertRecipe wanted;
    wanted.subject = NameParts{"Тестовый УЦ", "", "", "ООО Тест", "", "RU"};
    wanted.serialHex = "7E57CA";
    wanted.notBefore = Clock::now() - std::chrono::hours(24 * 30);
    wanted.notAfter = Clock::now() + std::chrono::hours(24 * 3650);
    return testing::MakeCa(wanted);
}

TestCert IssueUnder(const TestCert& ca, const NameParts& subject, const std::string& serialHex,
                    Clock::time_point notBefore, Clock::time_point notAfter) {
    CertRecipe wanted;
    wanted.subject = subject;
    wanted.serialHex = serialHex;
    wanted.notBefore = notBefore;
    wanted.notAfter = notAfter;
    return testing::IssueCert(ca, wanted);
}

FixtureStore::FixtureStore()
    : folder(dir / "MY"),
      caFile(dir / "ca.pem"),
      unusable(dir / "ca.pem" / "MY"),
      ca(MakeFixtureCa()) {
    std::filesystem::create_directories(folder);
    testing::WriteBytes(caFile, ca.CertPem());
    const auto day = std::chrono::hours(24);
    testing::WritePem(
        folder / "01-petrov.pem",
        IssueUnder(ca, NameParts{"Петров Петр", "Петров", "Петр", "", "", "RU"}, "01"));
    testing::WritePem(
        folder / "02-ivanov.pem",
        IssueUnder(ca,
                   NameParts{"Иванов Иван", "Иванов", "Иван", "ООО Ромашка", "Бухгалтерия", "RU"},
                   "0A0B0C0D"));
    testing::WritePem(folder / "03-expired.pem",
                      IssueUnder(ca, NameParts{"Старый", "Старый", "Сертификат", "", "", ""}, "0E",
                                 Clock::now() - 30 * day, Clock::now() - day));
    testing::WritePem(folder / "04-future.pem",
                      IssueUnder(ca, NameParts{"Будущий", "Будущий", "Сертификат", "", "", ""},
                                 "0F", Clock::now() + day, Clock::now() + 30 * day));
    testing::WritePem(folder / "05-cn-only.pem",
                      IssueUnder(ca, NameParts{"Сервер Только CN", "", "", "", "", ""}, "0200"));
}

void EngineScript::Add(EngineStep step) {
    std::lock_guard lock(mutex_);
    steps_.push_back(std::move(step));
}

std::vector<EngineCall> EngineScript::Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

void EngineScript::Release() {
    {
        std::lock_guard lock(mutex_);
        released_ = true;
    }
    cv_.notify_all();
}

bool EngineScript::Waiting() const {
    std::lock_guard lock(mutex_);
    return waiting_;
}

EngineStep EngineScript::Next(EngineCall call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
    if (steps_.empty())
        return EngineStep{};
    EngineStep step = steps_.front();
    steps_.pop_front();
    return step;
}

void EngineScript::WaitForRelease() {
    std::unique_lock lock(mutex_);
    waiting_ = true;
    cv_.wait(lock, [this] { return released_; });
    waiting_ = false;
    released_ = false;
}

std::function<std::unique_ptr<IEngineFactory>(const SigningOptions&)> EngineScript::Factory(
    ILogSink& log) {
    return [this, &log](const SigningOptions&) {
        return std::make_unique<ScriptedFactory>(*this, log);
    };
}

MessageBoxAnswerer::MessageBoxAnswerer() {
    timer_.setInterval(10);
    connect(&timer_, &QTimer::timeout, this, [this] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            if (box == nullptr || !box->isVisible())
                continue;
            seen.push_back(
                SeenBox{box->windowTitle(), box->text(), box->icon(), box->parentWidget()});
            if (QAbstractButton* ok = box->button(QMessageBox::Ok))
                ok->click();
            else
                box->reject();
        }
    });
    timer_.start();
}

QWidget* FindTopLevel(const QString& objectName) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == objectName && widget->isVisible())
            return widget;
    }
    return nullptr;
}

SigningOptions Sha256Options() {
    SigningOptions options;
    options.hashAlgOID = kSha256;
    return options;
}

testing::CommandResult VerifyBase64Cms(const std::string& base64, const std::string& content,
                                       const std::filesystem::path& caFile) {
    return testing::VerifyDetachedCms(Base64Decode(base64), content, caFile);
}

testing::CommandResult VerifyJobs(const TJobList& jobs, const std::filesystem::path& caFile) {
    for (const TRecordSign& job : jobs) {
        testing::CommandResult check = VerifyBase64Cms(job.sign, job.pData, caFile);
        if (check.exitCode != 0)
            return check;
    }
    return testing::CommandResult{0, ""};
}

void AddWaysOutRows() {
    QTest::addColumn<QString>("way");
    QTest::addColumn<int>("result");
    QTest::newRow("Escape") << "escape" << 8;
    QTest::newRow("Закрыть") << "button" << 8;
    QTest::newRow("close box") << "close" << 2;
}

bool LeaveBy(const QString& way, QDialog& dialog, QWidget* escapeTarget,
             QAbstractButton* closeButton) {
    if (way == "escape") {
        QTest::keyClick(escapeTarget, Qt::Key_Escape);
        return true;
    }
    if (way == "button") {
        closeButton->click();
        return true;
    }
    return dialog.close();
}

}  // namespace korvalo::dialogtest
