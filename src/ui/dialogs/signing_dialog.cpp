#include "ui/dialogs/signing_dialog.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMetaObject>
#include <QPalette>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>

#include "core/timestamp.h"
#include "ui/dialogs/certinfo.h"
#include "ui/toolkit/foreground.h"

namespace korvalo {

QFont DialogFont() {
    QFont font(QStringLiteral("Tahoma"));
    font.setPointSize(8);
    return font;
}

int ExecSigningDialog(SigningDialog& dialog) {
    // Best effort: a window manager may keep another window in front; the window works all
    // the same.
    QTimer::singleShot(0, &dialog, [&dialog] { (void)ForceForegroundWindow(&dialog); });
    const int result = dialog.exec();
    dialog.WaitForEngine();
    if (result == kResultSigned || result == kResultWindowClosed)
        return result;
    return kResultClosed;
}

SigningDialog::SigningDialog(const DialogEnvironment& environment, const SigningOptions& options,
                             QWidget* parent, Qt::WindowFlags flags)
    : QDialog(parent, flags),
      environment_(environment),
      options_(options),
      engines_(environment.MakeEngines(options)) {
    setModal(true);
    setFont(DialogFont());
    setAttribute(Qt::WA_DeleteOnClose, false);
    progressTimer_ = new QTimer(this);
    progressTimer_->setInterval(kProgressStepMs);
    connect(progressTimer_, &QTimer::timeout, this, [this] { UpdateProgress(); });
}

bool SigningDialog::FillCertificates(CertPanel& certs, const std::string& preselect) {
    const std::string folder = environment_.storeLocation.string();
    if (!certs.FillCertList(environment_.storeLocation, preselect,
                            StoreTokens{environment_.tokens, options_.pkcs11Modules})) {
        environment_.log->PrintInfo(
            LogLine("Хранилище сертификатов " + folder + " не удалось открыть"));
        return false;
    }
    if (certs.serialArray().empty()) {
        environment_.log->PrintInfo(
            LogLine("Нет действующих сертификатов. Сертификат с ключом (файл .p12, .pfx или "
                    ".pem) кладётся в папку " +
                    folder));
    }
    return true;
}

SigningDialog::~SigningDialog() {
    destroying_ = true;
    WaitForEngine();
}

void SigningDialog::WaitForEngine() {
    // The worker may be handing a log line or a password prompt over to this thread: serve the
    // events until its end has been reported. QCoreApplication::processEvents also works after
    // the application was asked to quit, when new event loops would return at once.
    while (busy_)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

QLabel* SigningDialog::MakeErrorLabel(QWidget* parent) {
    labelError_ = new QLabel(parent);
    labelError_->setObjectName(QStringLiteral("LabelError"));
    labelError_->setWordWrap(true);
    labelError_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    labelError_->setTextFormat(Qt::PlainText);
    QPalette palette = labelError_->palette();
    palette.setColor(QPalette::WindowText, Qt::red);
    labelError_->setPalette(palette);
    // The progress of a long run takes the error line's place; the line's own text is empty
    // meanwhile.
    progressBar_ = new QProgressBar(labelError_);
    progressBar_->setObjectName(QStringLiteral("ProgressSign"));
    progressBar_->setTextVisible(true);
    progressBar_->hide();
    return labelError_;
}

void SigningDialog::UpdateProgress() {
    if (!busy_ || !engine_ || runTime_.elapsed() < kProgressDelayMs || progressBar_ == nullptr)
        return;
    const SigningProgress* progress = engine_->Progress();
    const SigningProgress::Snapshot now =
        progress != nullptr ? progress->Read() : SigningProgress::Snapshot{};
    if (now.unit == SigningProgress::Unit::Documents && now.total > 0) {
        // Job lists are far below the bar's int range.
        progressBar_->setRange(0, static_cast<int>(now.total));
        progressBar_->setValue(static_cast<int>(std::min(now.done, now.total)));
        progressBar_->setFormat(QStringLiteral("Подписано документов: %v из %m"));
    } else if (now.unit == SigningProgress::Unit::Bytes && now.total > 0) {
        constexpr int kSteps = 1000;  // a file's bytes may exceed the bar's int range
        progressBar_->setRange(0, kSteps);
        progressBar_->setValue(
            static_cast<int>(std::min(now.done, now.total) * kSteps / now.total));
        progressBar_->setFormat(QStringLiteral("Прочитано %p% файла"));
    } else {
        progressBar_->setRange(0, 0);  // busy, without a measure
        progressBar_->setFormat(QString());
    }
    if (progressBar_->isHidden()) {
        labelError_->clear();
        progressBar_->setGeometry(
            0, 0, labelError_->width(),
            std::min(labelError_->height(), progressBar_->sizeHint().height()));
        progressBar_->show();
    } else if (progressBar_->width() != labelError_->width()) {
        progressBar_->resize(labelError_->width(), progressBar_->height());
    }
}

void SigningDialog::StackPanels(std::initializer_list<QWidget*> panels) {
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);
    int height = 0;
    for (QWidget* panel : panels) {
        stack->addWidget(panel);
        height += panel->height();
    }
    setFixedSize(panels.size() > 0 ? (*panels.begin())->width() : 0, height);
}

void SigningDialog::RemovePanel(QWidget* panel) {
    if (panel->isHidden())
        return;
    const int height = panel->height();
    layout()->removeWidget(panel);
    panel->hide();
    setFixedSize(width(), this->height() - height);
}

std::string SigningDialog::Signature() const {
    return engine_ ? engine_->Signature() : std::string();
}

std::optional<ContentFingerprint> SigningDialog::SignedContent() const {
    return engine_ ? engine_->SignedContent() : std::nullopt;
}

void SigningDialog::reject() {
    if (busy_)
        return;
    done(kResultClosed);
}

void SigningDialog::closeEvent(QCloseEvent* event) {
    if (busy_) {
        event->ignore();
        return;
    }
    done(kResultWindowClosed);
    event->accept();
}

void SigningDialog::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Enter || event->key() == Qt::Key_Return) {
        if (auto* button = qobject_cast<QPushButton*>(focusWidget());
            button != nullptr && button->isEnabled())
            button->click();
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void SigningDialog::RunEngine(std::unique_ptr<ISignEngine> engine, bool requireSignature) {
    if (busy_ || !engine)
        return;
    engine_ = std::move(engine);
    busy_ = true;
    runTime_.start();
    progressTimer_->start();
    UpdateControls();
    ISignEngine* attempt = engine_.get();
    worker_ = std::thread([this, attempt, requireSignature] {
        bool ok = false;
        QString message;
        try {
            ok = attempt->Sign();
            if (ok && requireSignature && attempt->Signature().empty()) {
                ok = false;
                message = QStringLiteral("Подпись не получена.");
            } else if (!ok) {
                message = QString::fromStdString(attempt->message());
            }
        } catch (const std::exception& e) {
            ok = false;
            message = QString::fromUtf8(e.what());
        } catch (...) {
            ok = false;
            message = QStringLiteral("Ошибка при подписи.");
        }
        outcomeOk_ = ok;
        outcomeMessage_ = message;
        // The dialog waits for this report before it is destroyed, so the call finds it.
        QMetaObject::invokeMethod(
            this, [this] { EngineDone(); }, Qt::QueuedConnection);
    });
}

void SigningDialog::SignFile(const std::string& path, const CertPanel& certs) {
    if (Options().useIdCard != 0) {
        RunEngine(Engines().MakeIdCardSigner(path), true);
        return;
    }
    const std::string serial = certs.SelectedSerial();
    if (serial.empty())
        return;
    RunEngine(Engines().MakeFileSigner(path, serial), true);
}

void SigningDialog::EngineDone() {
    if (worker_.joinable())
        worker_.join();
    busy_ = false;
    progressTimer_->stop();
    if (progressBar_ != nullptr)
        progressBar_->hide();
    if (destroying_)
        return;
    if (outcomeOk_) {
        done(kResultSigned);
        emit signAttemptFinished(true);
        return;
    }
    labelError_->setText(outcomeMessage_);
    UpdateControls();
    emit signAttemptFinished(false);
}

}  // namespace korvalo
