#pragma once
// The main window's handlers of the upload's notifications: they log the outcome, show the
// balloon or a message box, reset the upload stage, and ask for proxy credentials.

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "core/log_sink.h"
#include "core/user_interface.h"
#include "platform/net/http_client.h"
#include "state/settings/settings.h"

namespace korvalo {

// The texts the handlers show.
inline constexpr const char* kCannotConnectMessage =
    "Не удается установить соединение с сервером. Возможно не запущен прокси-сервер или "
    "неправильный адрес/логин/пароль";
inline constexpr const char* kUploadDoneBalloon = "Отправка файла завершена";

// Handles the six notifications of the upload's HTTP client. One object serves every upload
// of the program; uploads of overlapping requests share it (and so share stage and the
// credentials, as the main window's fields are shared).
//
// Threads: the handlers run on the uploading thread; what they show goes through the log
// sink, the notifier and the login prompts, which hand their work to the UI thread. Login
// dialogs of overlapping uploads are asked one after the other, never two at once, and at most
// one cannot-connect message box is open at a time.
class TUploadOutcome : public IHttpClientEvents {
public:
    // settingsPath: the main settings file, where confirmed credentials are stored.
    // unloadAvCryptMail: unloads the Avest library when it is loaded (nothing otherwise).
    // Every reference must outlive this object.
    TUploadOutcome(ILogSink& log, SettingsStore& settings, INotifier& notifier,
                   ICredentialsPrompt& prompt, IServerLoginPrompt& serverPrompt,
                   std::atomic<int>& stage, std::string settingsPath,
                   std::function<void()> unloadAvCryptMail);

    // The proxy's challenge: logs it and asks for the proxy credentials (AskProxyCredentials);
    // confirmed, they go to the client, which repeats the request with them; cancelled, abort
    // is set. The web server's challenge: logs it and asks the server login prompt, naming the
    // host of url; confirmed, the answer goes to the client for this request only (nothing is
    // stored, the proxy credentials stay as they are); cancelled, abort is set.
    void NetHTTPClient1AuthEvent(AuthTarget target, const std::string& realm,
                                 const std::string& url, std::string& userName,
                                 std::string& password, bool& abort) override;
    // RequestCompleted(statusCode, statusCode == 407).
    void NetHTTPClient1RequestCompleted(int statusCode) override;
    // proxyRefused (the proxy still asks for credentials): asks for them for the next upload.
    // Otherwise, whatever the status: when stage is 1, logs the completion, shows the balloon
    // and unloads the Avest library. Then stage := 0.
    void RequestCompleted(int statusCode, bool proxyRefused);
    // Logs the error; "12029" shows the cannot-connect message box (only when none is open:
    // a failure while it is open is only logged), else "12032" logs the challenge and asks
    // for credentials. stage stays as it is.
    void NetHTTPClient1RequestError(const std::string& error) override;
    // Logs the progress; never aborts.
    void NetHTTPClient1ReceiveData(std::int64_t contentLength, std::int64_t readCount,
                                   bool& abort) override;
    // Logs the request; no certificate is chosen.
    void NetHTTPClient1NeedClientCertificate() override;
    // Logs the protocol and the cipher and accepts every certificate.
    void NetHTTPClient1ValidateServerCertificate(const ServerCertificateInfo& certificate,
                                                 bool& accepted) override;

    // Forgets proxyAccess and shows the login dialog. Confirmed: userName, userPwd, isSavePwd
    // and proxyAccess take the new values and, when saving, proxyAccess is written to section
    // "Proxy" of the settings file at once; returns true. Cancelled: proxyAccess stays empty,
    // the names and the file are unchanged; returns false.
    [[nodiscard]] bool AskProxyCredentials();

private:
    struct Credentials {
        std::string userName;
        std::string userPwd;
    };
    [[nodiscard]] std::optional<Credentials> AskAndStore();

    ILogSink& log_;
    SettingsStore& settings_;
    INotifier& notifier_;
    ICredentialsPrompt& prompt_;
    IServerLoginPrompt& serverPrompt_;
    std::atomic<int>& stage_;
    const std::string settingsPath_;
    const std::function<void()> unloadAvCryptMail_;
    std::mutex askMutex_;  // one login dialog at a time; never taken on the UI thread
    std::atomic<bool> messageBoxOpen_{false};
};

}  // namespace korvalo
