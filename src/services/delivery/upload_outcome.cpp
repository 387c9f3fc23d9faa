#include "services/delivery/upload_outcome.h"

#include <exception>
#include <utility>

#include "core/timestamp.h"
#include "state/settings/settings_loader.h"

namespace korvalo {

TUploadOutcome::TUploadOutcome(ILogSink& log, SettingsStore& settings, INotifier& notifier,
                               ICredentialsPrompt& prompt, IServerLoginPrompt& serverPrompt,
                               std::atomic<int>& stage, std::string settingsPath,
                               std::function<void()> unloadAvCryptMail)
    : log_(log),
      settings_(settings),
      notifier_(notifier),
      prompt_(prompt),
      serverPrompt_(serverPrompt),
      stage_(stage),
      settingsPath_(std::move(settingsPath)),
      unloadAvCryptMail_(std::move(unloadAvCryptMail)) {}

void TUploadOutcome::NetHTTPClient1AuthEvent(AuthTarget target, const std::string& /*realm*/,
                                             const std::string& url, std::string& userName,
                                             std::string& password, bool& abort) {
    if (target == AuthTarget::Server) {
        // The web server asks: its own prompt, its answer for this request only.
        const std::string host = UrlHostForDisplay(url);
        log_.PrintInfo(LogLine("401 Требуется авторизация на сервере " + host));
        std::string user;
        std::string pwd;
        bool confirmed = false;
        {
            std::lock_guard lock(askMutex_);
            confirmed = serverPrompt_.AskServerLogin(host, user, pwd);
        }
        abort = !confirmed;
        if (confirmed) {
            userName = std::move(user);
            password = std::move(pwd);
        }
        return;
    }
    log_.PrintInfo(LogLine("407 Требуется авторизация"));
    if (const auto credentials = AskAndStore()) {
        userName = credentials->userName;
        password = credentials->userPwd;
        abort = false;
    } else {
        abort = true;
    }
}

void TUploadOutcome::NetHTTPClient1RequestCompleted(int statusCode) {
    RequestCompleted(statusCode, statusCode == 407);
}

void TUploadOutcome::RequestCompleted(int statusCode, bool proxyRefused) {
    if (proxyRefused) {
        // The request is over either way; confirmed credentials serve the next one.
        (void)AskProxyCredentials();
        stage_.store(0);
        return;
    }
    // Taking the stage and resetting it is one step, so that of two uploads finishing at
    // once only one reports the delivery the stage announced.
    if (stage_.exchange(0) == 1) {
        log_.PrintInfo(LogLine("CS1: отправка файла на сервер завершена"));
        notifier_.ShowBalloon(kUploadDoneBalloon);
        if (unloadAvCryptMail_)
            unloadAvCryptMail_();
    }
}

void TUploadOutcome::NetHTTPClient1RequestError(const std::string& error) {
    log_.PrintInfo(LogLine("CS1 Error: " + error));
    if (error.find("12029") != std::string::npos) {
        // One box at a time: failures while it is open stay in the log only.
        if (!messageBoxOpen_.exchange(true)) {
            struct Reopen {
                std::atomic<bool>& open;
                ~Reopen() { open.store(false); }
            } reopen{messageBoxOpen_};
            notifier_.ShowMessageBox(kCannotConnectMessage, "Korvalo",
                                     INotifier::Icon::Information);
        }
    } else if (error.find("12032") != std::string::npos) {
        log_.PrintInfo(LogLine("407 Требуется авторизация (12032)"));
        // The request has failed either way; confirmed credentials serve the next one.
        (void)AskProxyCredentials();
    }
}

void TUploadOutcome::NetHTTPClient1ReceiveData(std::int64_t contentLength, std::int64_t readCount,
                                               bool& /*abort*/) {
    log_.PrintInfo(
        LogLine("CS1Read ReceiveData:  AContentLength = " + std::to_string(contentLength) +
                " AReadCount = " + std::to_string(readCount)));
}

void TUploadOutcome::NetHTTPClient1NeedClientCertificate() {
    log_.PrintInfo(LogLine("*** NetHTTPClient1NeedClientCertificate"));
}

void TUploadOutcome::NetHTTPClient1ValidateServerCertificate(
    const ServerCertificateInfo& certificate, bool& accepted) {
    log_.PrintInfo(LogLine("*** HTTPS - protokol: " + certificate.protocolName +
                           ", algorithm: " + certificate.algorithmName));
    accepted = true;
}

bool TUploadOutcome::AskProxyCredentials() {
    return AskAndStore().has_value();
}

std::optional<TUploadOutcome::Credentials> TUploadOutcome::AskAndStore() {
    std::lock_guard lock(askMutex_);
    std::string userName;
    std::string userPwd;
    bool savePwd = true;
    settings_.Update([&](Settings& s) {
        s.proxyAccess.clear();
        userName = s.userName;
        userPwd = s.userPwd;
        savePwd = s.isSavePwd;
    });
    if (!prompt_.ShowLoginDialog(userName, userPwd, savePwd))
        return std::nullopt;

    const std::string proxyAccess = EncodeProxyAccess(userName, userPwd);
    settings_.Update([&](Settings& s) {
        s.userName = userName;
        s.userPwd = userPwd;
        s.isSavePwd = savePwd;
        s.proxyAccess = proxyAccess;
    });
    if (!proxyAccess.empty() && savePwd) {
        try {
            StoreProxyAccess(settingsPath_, proxyAccess);
        } catch (const std::exception& e) {
            // The credentials hold for this run all the same.
            log_.PrintInfo(
                LogLine(std::string("Не удалось сохранить пароль прокси-сервера: ") + e.what()));
        }
    }
    return Credentials{std::move(userName), std::move(userPwd)};
}

}  // namespace korvalo
