#pragma once
// What the signing-dialog tests share: a fixture certificate store, a recording log, scripted
// engines, an answerer for message boxes, and a way to reach a dialog that another thread
// opened.

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/log_sink.h"
#include "core/record_sign.h"
#include "services/engines/sign_engines.h"
#include "support/cert_fixture.h"
#include "support/recording_doubles.h"

namespace korvalo::dialogtest {

using korvalo::testing::CertRecipe;
using korvalo::testing::NameParts;
using korvalo::testing::RecordingLog;
using korvalo::testing::TempDir;
using korvalo::testing::TestCert;
using Clock = std::chrono::system_clock;

inline constexpr char kSha256[] = "2.16.840.1.101.3.4.2.1";

// The store of the dialog tests, in store order (serial texts in brackets), all issued by
// the CA "Тестовый УЦ" (O "ООО Тест", country RU):
//   01-petrov.pem  [01]        Петров Петр
//   02-ivanov.pem  [0A0B 0C0D] Иванов Иван, O ООО Ромашка, OU Бухгалтерия
//   03-expired.pem [0E]        expired yesterday
//   04-future.pem  [0F]        valid from tomorrow
//   05-cn-only.pem [0200]      only the common name "Сервер Только CN"
// Listed: Петров Петр, Иванов Иван, Сервер Только CN. Every certificate is RSA with its key in the
// PEM file; sign with hashAlgOID = SHA-256.
struct FixtureStore {
    FixtureStore();
    TempDir dir;
    std::filesystem::path folder;  // the store
    std::filesystem::path caFile;  // the CA certificate (PEM), for checking signatures
    // A store that cannot be opened: a folder below a file, which can never be made.
    std::filesystem::path unusable;
    TestCert ca;
};

// A certificate under the fixture CA.
TestCert IssueUnder(const TestCert& ca, const NameParts& subject, const std::string& serialHex,
                    Clock::time_point notBefore = Clock::now() - std::chrono::hours(24),
                    Clock::time_point notAfter = Clock::now() + std::chrono::hours(24 * 365));
TestCert MakeFixtureCa();

// What a scripted engine does when it is run.
struct EngineStep {
    bool ok = true;
    std::string signature = "SIG";
    std::string message;
    std::string throwText;  // not empty: Sign throws std::runtime_error with it
    std::string logLine;    // not empty: Sign writes it to the log first (from its thread)
    bool block = false;     // Sign waits until Release()
    // Set: the engine tells this progress (from the start of Sign); unset: it tells none.
    std::optional<SigningProgress::Snapshot> progress;
};

// One engine made by the scripted factory.
struct EngineCall {
    std::string kind;  // "file", "idcard" or "batch"
    std::string file;
    std::string serial;
    std::size_t jobs = 0;
};

// Engines that follow a script of steps (one per attempt; an exhausted script signs with
// "SIG"), and record what was made. Shared between the test and the dialog's factory.
class EngineScript {
public:
    void Add(EngineStep step);
    std::vector<EngineCall> Calls() const;
    // Lets a blocked engine go on.
    void Release();
    // True while an engine waits in a blocked step.
    bool Waiting() const;
    // The environment's engines member for this script.
    std::function<std::unique_ptr<IEngineFactory>(const SigningOptions&)> Factory(ILogSink& log);

    // Used by the engines.
    EngineStep Next(EngineCall call);
    void WaitForRelease();

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<EngineStep> steps_;
    std::vector<EngineCall> calls_;
    bool released_ = false;
    bool waiting_ = false;
};

// A message box seen and answered.
struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QWidget* owner = nullptr;
};

// Answers every message box that shows up while it lives: records it and presses OK.
class MessageBoxAnswerer : public QObject {
public:
    MessageBoxAnswerer();
    std::vector<SeenBox> seen;

private:
    QTimer timer_;
};

// The visible top-level widget with that object name, or nullptr.
QWidget* FindTopLevel(const QString& objectName);

// The SHA-256 options the fixture certificates sign with.
SigningOptions Sha256Options();

// openssl cms -verify of a base64 signature (any line breaks) over content, chained to caFile.
testing::CommandResult VerifyBase64Cms(const std::string& base64, const std::string& content,
                                       const std::filesystem::path& caFile);
// VerifyBase64Cms of every job's signature over its data: the first check that fails, or a
// passed one when every job's passes.
testing::CommandResult VerifyJobs(const TJobList& jobs, const std::filesystem::path& caFile);

// The ways out of a signing dialog without signing, as the rows of a data table with the
// columns "way" and "result": Escape and the close button end it with 8, the window's close
// box with 2.
void AddWaysOutRows();
// Leaves the dialog the given way: Escape pressed on escapeTarget ("escape"), closeButton
// clicked ("button"), or the window closed ("close"). False when the window refused to close.
bool LeaveBy(const QString& way, QDialog& dialog, QWidget* escapeTarget,
             QAbstractButton* closeButton);

}  // namespace korvalo::dialogtest
