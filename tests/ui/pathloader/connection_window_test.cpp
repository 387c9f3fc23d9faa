// The path loader's windows on the offscreen platform: the connection window's modes, tips,
// proxy area and hints, its worker against the stand-in of the maker's services, and the
// connection-choice window.

#include <QAction>
#include <QApplication>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <QToolTip>
#include <chrono>
#include <functional>
#include <memory>

#include "services/pathloader/path_loader.h"
#include "services/pathloader/path_loader_thread.h"
#include "services/pathloader/vendor_addresses.h"
#include "support/capture_server.h"
#include "support/files.h"
#include "support/qt/when_modal.h"
#include "support/soap_options.h"
#include "support/system_proxy_double.h"
#include "support/vendor_service_process.h"
#include "ui/pathloader/fm_path_loader_connection.h"
#include "ui/pathloader/fm_path_loader_menu.h"
#include "ui/pathloader/pictures.h"
#include "ui/pathloader/qt_path_loader_windows.h"
#include "ui/pathloader/rich_edit_url.h"
#include "ui/toolkit/hints.h"

namespace korvalo {

namespace {

using vendortest::VendorServiceProcess;

constexpr char kSoftwareId[] = "{2A9EB3FF-6117-4CC4-BC58-647DCFEE6428}";

// An environment without this machine: fixed browser proxies, direct connections, links
// recorded instead of opened.
struct Environment {
    BrowserProxies proxies;
    QWidget* application = nullptr;
    std::vector<std::string> opened;

    PathLoaderEnvironment Get() {
        PathLoaderEnvironment e;
        e.applicationWindow = [this] { return application; };
        e.browserProxies = [this] { return proxies; };
        e.soap = testing::IsolatedSoapOptions();
        e.openUrl = [this](const std::string& url) { opened.push_back(url); };
        return e;
    }
};

ConnectionDialogArgs Args(const std::string& endpoints, bool allowSetProxy = true) {
    ConnectionDialogArgs args;
    args.Caption = "Подключение к серверу";
    args.PathLoaderURL = endpoints;
    args.ConnectionDelay = 0;
    args.AllowSetProxy = allowSetProxy;
    args.SoftwareID = kSoftwareId;
    args.MenuID = "7";
    return args;
}

// The window shown in error mode with that code and message, as the worker would leave it.
void ShowError(TfmPathLoaderConnection& window, int code, const std::string& message) {
    window.SendErrorToComponent(message, code);
}

QStringList TipLines(TfmPathLoaderConnection& window) {
    return window.RedtTips()->toPlainText().split(QLatin1Char('\n'));
}

// Whether the characters [from, to) of the tips' block are bold.
bool Bold(TRichEditURL* box, int block, int from, int to) {
    const QTextBlock b = box->document()->findBlockByNumber(block);
    for (int i = from; i < to; ++i) {
        QTextCursor cursor(b);
        cursor.setPosition(b.position() + i);
        cursor.movePosition(QTextCursor::NextCharacter, QTextCursor::KeepAnchor);
        if (cursor.charFormat().fontWeight() != QFont::Bold)
            return false;
    }
    return true;
}

}  // namespace

class PathLoaderWindowsTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() {
        TPathLoaderThread::TerminateAll();
        QVERIFY(TPathLoaderThread::WaitForAll(std::chrono::seconds(5)));
    }

    void designAndModes() {
        Environment env;
        TfmPathLoaderConnection window(env.Get(), Args("http://h/scripts/PathLoaderSrv.dll"));
        QCOMPARE(window.windowTitle(), QStringLiteral("Подключение к серверу"));
        QCOMPARE(window.font().family(), QStringLiteral("Tahoma"));
        QCOMPARE(window.font().pixelSize(), 11);
        QCOMPARE(window.ImgConnection()->geometry(), QRect(16, 16, 32, 32));
        QCOMPARE(window.LblStatus()->geometry(), QRect(64, 24, 340, 16));
        QVERIFY(window.LblStatus()->font().bold());
        QVERIFY(window.LblStatus()->wordWrap());
        QCOMPARE(window.BtnAbort()->geometry(), QRect(150, 8, 120, 25));
        QCOMPARE(window.BtnTryAgain()->geometry(), QRect(150, 8, 120, 25));
        QCOMPARE(window.BtnImportProxy()->size(), QSize(21, 21));
        QCOMPARE(window.EdtProxyPassword()->echoMode(), QLineEdit::Password);
        QCOMPARE(window.RedtTips()->geometry(), QRect(3, 0, 414, 228));
        QVERIFY(window.RedtTips()->isReadOnly());
        QCOMPARE(window.GbProxy()->title(),
                 QStringLiteral("Настройка прокси для доступа в Интернет"));

        struct Mode {
            int mode;
            bool allow;
            int errorCode;
            int height;
            QWidget* picture;
            QPushButton* button;
            QString status;
            bool tips;
            bool proxy;
            bool editable;
        };
        const Mode modes[] = {
            {0, true, 0, 113, window.ImgConnection(), window.BtnAbort(),
             QStringLiteral("Идет соединение с VALDOR"), false, false, false},
            {1, true, 0, 240, window.ImgAbort(), window.BtnTryAgain(),
             QStringLiteral("Соединение прервано пользователем"), false, true, true},
            {2, true, 12029, 468, window.ImgError(), window.BtnTryAgain(),
             QStringLiteral("Ошибка соединения"), true, true, true},
            {2, true, -1, 468, window.ImgError(), window.BtnTryAgain(),
             QStringLiteral("Ошибка обработки запроса на подключение"), true, true, false},
        };
        for (const Mode& m : modes) {
            window.SendErrorToComponent("x", m.errorCode);  // sets the code
            window.SetShowMode(m.mode);
            QCOMPARE(window.height(), m.height);
            QCOMPARE(window.width(), 420);
            for (QWidget* picture : std::initializer_list<QWidget*>{
                     window.ImgConnection(), window.ImgAbort(), window.ImgError()})
                QCOMPARE(picture->isHidden(), picture != m.picture);
            QCOMPARE(window.BtnAbort()->isHidden(), window.BtnAbort() != m.button);
            QCOMPARE(window.BtnTryAgain()->isHidden(), window.BtnTryAgain() != m.button);
            QCOMPARE(window.LblStatus()->text(), m.status);
            QCOMPARE(window.StatusMessage(), m.status);
            QCOMPARE(window.TipsArea()->isHidden(), !m.tips);
            QCOMPARE(window.ProxyArea()->isHidden(), !m.proxy);
            QCOMPARE(window.EdtProxyServer()->isEnabled(), m.editable);
            QCOMPARE(window.EdtProxyUser()->isEnabled(), m.editable);
            QCOMPARE(window.BtnImportProxy()->isEnabled(), m.editable);
        }

        // Proxy editing off: no proxy area in any mode.
        TfmPathLoaderConnection locked(env.Get(), Args("http://h/x.dll", false));
        locked.SendErrorToComponent("x", 404);
        QCOMPARE(locked.height(), 113 + 228);
        QVERIFY(locked.ProxyArea()->isHidden());
        locked.SetShowMode(1);
        QCOMPARE(locked.height(), 113);
    }

    void aModeChangeKeepsTheCentreInsideTheWorkArea() {
        Environment env;
        TfmPathLoaderConnection window(env.Get(), Args("http://h/x.dll"));
        const QRect work = QGuiApplication::primaryScreen()->availableGeometry();
        window.SetShowMode(0);
        window.move(100, 300);
        window.SetShowMode(1);  // 113 -> 240: up by 63
        QCOMPARE(window.pos(), QPoint(100, 237));
        window.SetShowMode(0);  // 240 -> 113: down by 63 (half of -127, toward zero)
        QCOMPARE(window.pos(), QPoint(100, 300));
        // Near the bottom: pushed back inside.
        window.move(100, work.bottom() - 150);
        window.SendErrorToComponent("x", 500);
        QCOMPARE(window.height(), 468);
        QCOMPARE(window.frameGeometry().bottom(), work.bottom());
        // Near the top: not above it.
        window.SetShowMode(0);
        window.move(100, work.top());
        window.SetShowMode(2);
        QCOMPARE(window.y(), work.top());
    }

    void theConnectingPicturePlaysFiveTimesFaster() {
        Environment env;
        TfmPathLoaderConnection window(env.Get(), Args("http://h/x.dll"));
        window.SetShowMode(0);
        AnimatedPicture* picture = window.ImgConnection();
        QCOMPARE(picture->AnimationSpeed(), 500);
        QCOMPARE(picture->FrameDelay(), picture->StoredFrameDelay() / 5);
        QVERIFY(picture->Animate());
        window.show();
        const int first = picture->Frame();
        QTRY_VERIFY_WITH_TIMEOUT(picture->Frame() != first, 2000);
    }

    void hints() {
        Environment env;
        TfmPathLoaderConnection window(env.Get(), Args("http://h/x.dll"));
        const QString hint = QStringLiteral(
            "Прокси – промежуточный компьютер, который является посредником между\r\n"
            "Вашим компьютером и Интернетом. Через него проходят все Ваши обращения\r\n"
            "в Интернет. Прокси их обрабатывает, и результаты передает Вам.");
        QCOMPARE(window.GbProxy()->toolTip(), hint);
        for (const QPoint inside : {QPoint(64, 4), QPoint(100, 12), QPoint(80, 8)})
            QCOMPARE(window.ProxyHintAt(inside), hint);
        for (const QPoint outside : {QPoint(63, 8), QPoint(101, 8), QPoint(80, 3), QPoint(80, 13)})
            QVERIFY(window.ProxyHintAt(outside).isEmpty());
        QCOMPARE(
            window.EdtProxyServer()->toolTip(),
            QStringLiteral("Если не заполнено, берется системный прокси (из Internet Explorer)"));
        QCOMPARE(window.BtnImportProxy()->toolTip(),
                 QStringLiteral("Импорт настроек прокси из браузера"));

        // The hint shows over the word only.
        window.SetShowMode(1);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QHelpEvent over(QEvent::ToolTip, QPoint(80, 8),
                        window.GbProxy()->mapToGlobal(QPoint(80, 8)));
        QCoreApplication::sendEvent(window.GbProxy(), &over);
        QTRY_VERIFY(QToolTip::isVisible());
        QVERIFY(QToolTip::text().startsWith(QStringLiteral("Прокси – промежуточный")));
        QHelpEvent beside(QEvent::ToolTip, QPoint(200, 60),
                          window.GbProxy()->mapToGlobal(QPoint(200, 60)));
        QCoreApplication::sendEvent(window.GbProxy(), &beside);
        QTRY_VERIFY(!QToolTip::isVisible());

        // The application's hint pause is long while the window exists, and comes back.
        SetHintHidePause(2500);
        int during = 0;
        testing::WhenModal([&](QWidget* modal) {
            during = HintHidePause();
            modal->close();
        });
        ConnectionDialogArgs args = Args("");
        QVERIFY(!ShowConnectionDialog(env.Get(), args));
        QCOMPARE(during, 999999);
        QCOMPARE(HintHidePause(), 2500);
    }

    void theProxyMenu() {
        struct Case {
            int kind;
            std::string system;
            std::string browser;
            QStringList visible;  // object names
            QString browserCaption;
            QString ieCaption;
        };
        const Case cases[] = {
            {1, "", "ff.proxy:3128", {"miFirefox", "miIE"}, "ff.proxy:3128", "без прокси"},
            {2, "ie:8080", "", {"miOpera", "miIE"}, "без прокси", "ie:8080"},
            {3, "ie:8080", "ie:8080", {"miChrome", "miIE"}, "ie:8080", "ie:8080"},
            {4, "", "", {"miSafari", "miIE"}, "без прокси", "без прокси"},
            {5, "ie:8080", "ie:8080", {"miIE"}, "", "ie:8080"},
            {0, "ie:8080", "ie:8080", {"miIE"}, "", "ie:8080"},
        };
        for (const Case& c : cases) {
            Environment env;
            env.proxies = {c.kind, c.system, c.browser};
            TfmPathLoaderConnection window(env.Get(), Args("http://h/x.dll"));
            const QList<QAction*> items = window.PmnuProxy()->actions();
            QCOMPARE(items.size(), 5);
            const QStringList order = {"miFirefox", "miOpera", "miChrome", "miSafari", "miIE"};
            const int tags[] = {1, 2, 3, 4, 0};
            for (int i = 0; i < 5; ++i) {
                QCOMPARE(items[i]->objectName(), order[i]);
                QCOMPARE(items[i]->data().toInt(), tags[i]);
                QVERIFY(!items[i]->icon().isNull());
                QCOMPARE(items[i]->isVisible(), c.visible.contains(order[i]));
                if (!items[i]->isVisible())
                    continue;
                QCOMPARE(items[i]->text(), tags[i] == 0 ? c.ieCaption : c.browserCaption);
            }
            // A browser item puts the default browser's proxy in the field, the IE item the
            // system's.
            for (QAction* item : items) {
                if (!item->isVisible())
                    continue;
                window.EdtProxyServer()->setText(QStringLiteral("typed"));
                item->trigger();
                QCOMPARE(window.EdtProxyServer()->text().toStdString(),
                         item->data().toInt() > 0 ? c.browser : c.system);
            }
        }
    }

    void recommendations() {
        const QString support = QStringLiteral(
            "* Свяжитесь со службой технической поддержки. (mailto:support@korvalo.example.org)");
        const QString url = QStringLiteral("http://h1/scripts/PathLoaderSrv.dll");
        struct Case {
            int code;
            bool allow;
            QStringList recommendation;
        };
        const Case cases[] = {
            {400, true, {support}},
            {403, true, {support}},
            {404, true, {support}},
            {500, true, {support}},
            {-1, true, {support}},
            {407, true, {QStringLiteral("* Проверьте настройки прокси-сервера")}},
            {503, true, {QStringLiteral("* Повторите попытку через несколько минут")}},
            {12029,
             true,
             {QStringLiteral("* Проверьте Ваше соединение с Интернет"),
              QStringLiteral("* Если соединение с Интернет осуществляется через прокси-сервер, "
                             "проверьте настройки прокси-сервера (обратитесь к Вашему "
                             "техническому специалисту)"),
              QStringLiteral("* Проверьте из браузера доступность адреса ") + url,
              QStringLiteral("* Если у Вас включен файрвол(брандмауэр) или установлен антивирус, "
                             "проверьте, не блокируют ли они соединение данного приложения с "
                             "адресом ") +
                  url + QStringLiteral(" (обратитесь к Вашему техническому специалисту)")}},
            {0, true, {}},  // the same four lines
            {404, false, {QStringLiteral("* Свяжитесь со службой технической поддержки.")}},
            {12029, false, {QStringLiteral("* Свяжитесь со службой технической поддержки.")}},
        };
        for (const Case& c : cases) {
            Environment env;
            TfmPathLoaderConnection window(
                env.Get(),
                Args(url.toStdString() + "\r\nhttp://h2/scripts/PathLoaderSrv.dll", c.allow));
            ShowError(window, c.code, "Сбой");
            const QStringList lines = TipLines(window);
            QCOMPARE(lines.value(0), QStringLiteral("Ошибка:"));
            QCOMPARE(lines.value(1),
                     c.code > 0 ? QStringLiteral("(%1) Сбой").arg(c.code) : QStringLiteral("Сбой"));
            QCOMPARE(lines.value(2), QString());
            QCOMPARE(lines.value(3), QStringLiteral("Рекомендации по устранению:"));
            if (!c.recommendation.isEmpty())
                QCOMPARE(lines.mid(4), c.recommendation);
            else
                QCOMPARE(lines.size(), 8);
            QVERIFY(Bold(window.RedtTips(), 0, 0, 7));
            QVERIFY(!Bold(window.RedtTips(), 1, 0, 1));
            QVERIFY(Bold(window.RedtTips(), 3, 0, 27));
            QVERIFY(!Bold(window.RedtTips(), 4, 0, 1));
        }
    }

    void linksInTheTips() {
        const QStringList found = TRichEditURL::FindLinks(QStringLiteral(
            "see (mailto:a@b.example) and http://h/x.dll, www.example.org. or HTTPS://X/y)"));
        QCOMPARE(found, QStringList({"mailto:a@b.example", "http://h/x.dll", "www.example.org",
                                     "HTTPS://X/y"}));
        QVERIFY(
            TRichEditURL::FindLinks(QStringLiteral("no links: http:// mailto: xhttp")).isEmpty());

        // A web link opens as it stands; the support link opens a mail with the subject and a
        // body listing the error, the time, the application, the caption, the identifiers and
        // every endpoint.
        Environment env;
        TfmPathLoaderConnection window(
            env.Get(), Args("http://h1/scripts/PathLoaderSrv.dll\r\nhttp://h2/x y.dll"));
        ShowError(window, 404, "Ресурс не найден");
        const QStringList links = window.RedtTips()->Links();
        QCOMPARE(links, QStringList({"mailto:support@korvalo.example.org"}));
        emit window.RedtTips()->anchorClicked(QUrl(QStringLiteral("korvalo-link:0")));
        QCOMPARE(env.opened.size(), std::size_t{1});
        const std::string mail = env.opened[0];
        const std::string expectedStart =
            "mailto:support@korvalo.example.org?subject=PathLoader%20Error&Body=Error%20message:"
            "%20(404)%20Ресурс%20не%20найден%0D%0ATime%20=%20";
        QCOMPARE(mail.substr(0, expectedStart.size()), expectedStart);
        const std::string application =
            QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName().toStdString();
        for (const std::string& part :
             {"%0D%0AApplication%20=%20" + application + "%0D%0A",
              std::string("%0D%0ATitle%20=%20Подключение%20к%20серверу%0D%0A"),
              std::string("%0D%0AID%20=%20") + kSoftwareId + "%20:%207%0D%0A",
              std::string("URL[0]%20=%20http://h1/scripts/PathLoaderSrv.dll%0D%0A"),
              std::string("URL[1]%20=%20http://h2/x%20y.dll%0D%0A")})
            QVERIFY2(mail.find(part) != std::string::npos, (mail + " lacks " + part).c_str());
        QVERIFY(mail.size() > 3 && mail.substr(mail.size() - 6) == "%0D%0A");
        QVERIFY(mail.find(' ') == std::string::npos);

        // Without a menu identifier the ID line has no " : ".
        ConnectionDialogArgs noMenu = Args("http://h1/x.dll");
        noMenu.MenuID.clear();
        TfmPathLoaderConnection other(env.Get(), noMenu);
        QVERIFY(
            other.MailLink("mailto:x").find(std::string("ID%20=%20") + kSoftwareId + "%0D%0A") !=
            std::string::npos);
        window.redtTipsURLClick(QStringLiteral("http://h1/page"));
        QCOMPARE(env.opened.back(), std::string("http://h1/page"));
    }

    void ownTaskbarButtonWhileTheApplicationWindowIsHidden() {
        QWidget application;
        Environment env;
        env.application = &application;
        {
            TfmPathLoaderConnection connection(env.Get(), Args("http://h/x.dll"));
            TfmPathLoaderMenu menu(env.Get(), QStringLiteral("Выбор"));
            QVERIFY(connection.HasOwnTaskbarButton());
            QVERIFY(menu.HasOwnTaskbarButton());
            QVERIFY(connection.parentWidget() == nullptr);
            QCOMPARE(connection.windowType(), Qt::Window);
            QCOMPARE(menu.windowType(), Qt::Window);
        }
        application.show();
        {
            TfmPathLoaderConnection connection(env.Get(), Args("http://h/x.dll"));
            TfmPathLoaderMenu menu(env.Get(), QStringLiteral("Выбор"));
            QVERIFY(!connection.HasOwnTaskbarButton());
            QVERIFY(!menu.HasOwnTaskbarButton());
            QCOMPARE(connection.parentWidget(), &application);
            QCOMPARE(connection.windowType(), Qt::Dialog);
            QCOMPARE(menu.windowType(), Qt::Dialog);
        }
        env.application = nullptr;  // no application window at all
        TfmPathLoaderConnection alone(env.Get(), Args("http://h/x.dll"));
        QVERIFY(alone.HasOwnTaskbarButton());
    }

    void theDelayBeforeTheFirstAttempt() {
        struct Case {
            int delay;
            bool allow;
            int interval;
        };
        for (const Case& c : {Case{3, true, 3000}, Case{3, false, 100}, Case{0, true, 100}}) {
            Environment env;
            int interval = 0;
            bool running = false;
            testing::WhenModal([&](QWidget* modal) {
                auto* window = static_cast<TfmPathLoaderConnection*>(modal);
                interval = window->TmrDelay()->interval();
                running = window->TmrDelay()->isActive() && window->ShowMode() == 0;
                modal->close();
            });
            ConnectionDialogArgs args = Args("");
            args.ConnectionDelay = c.delay;
            args.AllowSetProxy = c.allow;
            QVERIFY(!ShowConnectionDialog(env.Get(), args));
            QCOMPARE(interval, c.interval);
            QVERIFY(running);
        }
    }

    void anHttpErrorFromTheService() {
        VendorServiceProcess service({"--status", "404"});
        Environment env;
        QString status;
        QStringList tips;
        QStringList links;
        testing::WhenModal([&](QWidget* modal) {
            auto* window = static_cast<TfmPathLoaderConnection*>(modal);
            QTRY_VERIFY_WITH_TIMEOUT(window->ShowMode() == 2, 10000);
            status = window->LblStatus()->text();
            tips = TipLines(*window);
            links = window->RedtTips()->Links();
            QVERIFY(window->EdtProxyServer()->isEnabled());
            modal->close();
        });
        ConnectionDialogArgs args = Args(service.PathLoaderEndpoint());
        QVERIFY(!ShowConnectionDialog(env.Get(), args));
        QCOMPARE(status, QStringLiteral("Ошибка соединения"));
        QCOMPARE(tips.value(1), QStringLiteral("(404) Ресурс не найден"));
        QCOMPARE(tips.value(4), QStringLiteral("* Свяжитесь со службой технической поддержки. "
                                               "(mailto:support@korvalo.example.org)"));
        QCOMPARE(links, QStringList({"mailto:support@korvalo.example.org"}));
        // Closed after the error: False, the message shown.
        QCOMPARE(args.ErrorMessage, std::string("(404) Ресурс не найден"));
    }

    void aRefusalByTheService() {
        VendorServiceProcess service({"--refuse", "Доступ запрещен администратором"});
        Environment env;
        TfmPathLoaderConnection window(env.Get(), Args(service.PathLoaderEndpoint()));
        window.SetShowMode(0);
        window.StartAttempt();
        QTRY_VERIFY_WITH_TIMEOUT(window.ShowMode() == 2, 10000);
        QCOMPARE(window.LblStatus()->text(),
                 QStringLiteral("Ошибка обработки запроса на подключение"));
        QCOMPARE(window.ErrorCode(), -1);
        QCOMPARE(TipLines(window).value(1), QStringLiteral("Доступ запрещен администратором"));
        QVERIFY(!window.ProxyArea()->isHidden());
        for (QWidget* field :
             std::initializer_list<QWidget*>{window.EdtProxyServer(), window.EdtProxyUser(),
                                             window.EdtProxyPassword(), window.BtnImportProxy()})
            QVERIFY(!field->isEnabled());
        QVERIFY(!window.InProcess());
    }

    void theShownSystemProxyMeansNoProxy() {
        VendorServiceProcess service;
        Environment env;
        env.proxies = {5, "sys.proxy:3128", "sys.proxy:3128"};
        // The worker asks the window: the field shows the system proxy, so it gets none.
        TfmPathLoaderConnection window(env.Get(), Args(service.PathLoaderEndpoint()));
        window.EdtProxyServer()->setText(QStringLiteral("sys.proxy:3128"));
        PathLoaderRequest request;
        window.GetDataFromComponent(request);
        QCOMPARE(request.AProxy, std::string());
        QCOMPARE(request.APathLoaderURL, service.PathLoaderEndpoint());
        QCOMPARE(request.SoftwareID, std::string(kSoftwareId));
        QCOMPARE(request.MenuID, std::string("7"));

        // The whole round: the field starts with the system proxy, the service answers, the
        // caller gets an empty proxy and what the user left in the other fields.
        ConnectionDialogArgs args = Args(service.PathLoaderEndpoint());
        args.MenuID.clear();  // the service's default menu
        args.ProxyUserName = "user";
        args.ProxyPassword = "pwd";
        QString shown;
        testing::WhenModal([&](QWidget* modal) {
            shown = static_cast<TfmPathLoaderConnection*>(modal)->EdtProxyServer()->text();
        });
        QVERIFY(ShowConnectionDialog(env.Get(), args));
        QCOMPARE(shown, QStringLiteral("sys.proxy:3128"));
        QCOMPARE(args.Proxy, std::string());
        QCOMPARE(args.ProxyUserName, std::string("user"));
        QCOMPARE(args.ProxyPassword, std::string("pwd"));
        QCOMPARE(args.MenuList, std::string("Основной сервер\nРезервный сервер"));
        QVERIFY(args.PathList.find(service.Url("/backup")) != std::string::npos);
    }

    void tryAgainUsesTheEditedProxyAtOnce() {
        VendorServiceProcess service({"--status", "404"});
        testing::CaptureServerOptions options;
        options.decide = [](const testing::CapturedRequest&) {
            return testing::ReplyWith(407, "", {"Proxy-Authenticate: Basic realm=\"corp\""});
        };
        testing::CaptureServer proxy(options);
        Environment env;
        TfmPathLoaderConnection window(env.Get(), Args(service.PathLoaderEndpoint()));
        window.SetShowMode(0);
        window.StartAttempt();
        QTRY_VERIFY_WITH_TIMEOUT(window.ShowMode() == 2, 10000);
        QCOMPARE(window.ErrorCode(), 404);
        window.EdtProxyServer()->setText(QStringLiteral("127.0.0.1:%1").arg(proxy.Port()));
        window.EdtProxyUser()->setText(QStringLiteral("alice"));
        QTest::mouseClick(window.BtnTryAgain(), Qt::LeftButton);
        QVERIFY(window.InProcess());
        QCOMPARE(window.ShowMode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(window.ShowMode() == 2, 10000);
        QCOMPARE(window.ErrorCode(), 407);
        QCOMPARE(window.ErrorMessage(), std::string("(407) Необходима авторизация прокси"));
        QVERIFY(proxy.RequestCount() >= 1);
    }

    void abortDuringAHangingCall() {
        testing::TempDir dir;
        VendorServiceProcess service({"--hang", "--log", (dir / "log").string()});
        Environment env;
        TfmPathLoaderConnection window(env.Get(), Args(service.PathLoaderEndpoint()));
        window.SetShowMode(0);
        window.StartAttempt();
        const std::shared_ptr<TPathLoaderThread> worker = TfmPathLoaderConnection::LastWorker();
        QVERIFY(worker != nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(!testing::ReadJsonLines(dir / "log").empty(), 10000);
        QVERIFY(window.InProcess());
        QTest::mouseClick(window.BtnAbort(), Qt::LeftButton);
        QCOMPARE(window.ShowMode(), 1);
        QVERIFY(!window.InProcess());
        QVERIFY(!window.TmrDelay()->isActive());
        QVERIFY(worker->WaitFor(std::chrono::milliseconds(1000)));
        QTest::qWait(300);
        QCOMPARE(window.ShowMode(), 1);  // no late hand-over
        QCOMPARE(window.StatusMessage(), QStringLiteral("Соединение прервано пользователем"));
    }

    // No endpoint to try: the worker hands nothing over and the window stays connecting until
    // the user aborts.
    void noEndpointAtAll() {
        Environment env;
        TfmPathLoaderConnection window(env.Get(), Args(" \r\n\t\r\n"));
        window.SetShowMode(0);
        window.StartAttempt();
        const std::shared_ptr<TPathLoaderThread> worker = TfmPathLoaderConnection::LastWorker();
        QVERIFY(worker != nullptr);
        QTRY_VERIFY(worker->WaitFor(std::chrono::milliseconds(0)));
        QTest::qWait(200);
        QCOMPARE(window.ShowMode(), 0);
        QVERIFY(window.InProcess());
        QVERIFY(!window.BtnAbort()->isHidden());
        QTest::mouseClick(window.BtnAbort(), Qt::LeftButton);
        QCOMPARE(window.ShowMode(), 1);
    }

    void closingWhileAWorkerRuns() {
        VendorServiceProcess service({"--hang"});
        Environment env;
        std::shared_ptr<TPathLoaderThread> worker;
        testing::WhenModal([&](QWidget* modal) {
            auto* window = static_cast<TfmPathLoaderConnection*>(modal);
            QTRY_VERIFY_WITH_TIMEOUT(window->InProcess(), 5000);
            worker = TfmPathLoaderConnection::LastWorker();
            QTest::qWait(300);
            modal->close();
        });
        ConnectionDialogArgs args = Args(service.PathLoaderEndpoint());
        QVERIFY(!ShowConnectionDialog(env.Get(), args));
        QVERIFY(worker != nullptr);
        QVERIFY(worker->WaitFor(std::chrono::milliseconds(1000)));
        QCOMPARE(args.ErrorMessage, std::string());
    }

    void theMenuWindow() {
        Environment env;
        TfmPathLoaderMenu designed(env.Get(), QStringLiteral("Выбор"));
        QCOMPARE(designed.size(), QSize(330, 141));
        QCOMPARE(designed.GbChoice()->title(), QStringLiteral("Выберите подключение:"));
        QCOMPARE(designed.GbChoice()->geometry(), QRect(16, 16, 298, 109));
        QCOMPARE(designed.BtnDummy1()->geometry(), QRect(16, 24, 265, 25));
        QCOMPARE(designed.BtnDummy2()->geometry(), QRect(16, 64, 265, 25));
        QVERIFY(designed.BtnDummy1()->isHidden());
        QVERIFY(designed.BtnDummy2()->isHidden());

        QList<QRect> geometries;
        QSize size;
        QPoint position;
        QStringList captions;
        testing::WhenModal([&](QWidget* modal) {
            auto* window = static_cast<TfmPathLoaderMenu*>(modal);
            for (QPushButton* button : window->Buttons()) {
                geometries << button->geometry();
                captions << button->text();
            }
            size = window->size();
            position = window->pos();
            QTest::mouseClick(window->Buttons()[2], Qt::LeftButton);
        });
        const int choice =
            ShowMenuDialog(env.Get(), "Выбор", "Один\r\nДва\r\nТри\r\nЧетыре\r\nПять");
        QCOMPARE(choice, 2);
        QCOMPARE(captions, QStringList({"Один", "Два", "Три", "Четыре", "Пять"}));
        QCOMPARE(geometries.size(), 5);
        for (int i = 0; i < 5; ++i)
            QCOMPARE(geometries[i], QRect(16, 24 + 40 * i, 265, 25));
        QCOMPARE(size, QSize(330, 141 + 120));
        const QRect work = QGuiApplication::primaryScreen()->availableGeometry();
        QCOMPARE(position,
                 QPoint(work.x() + (work.width() - 330) / 2, work.y() + (work.height() - 261) / 2));

        // Closed without a choice.
        testing::WhenModal([](QWidget* modal) { modal->close(); });
        QCOMPARE(ShowMenuDialog(env.Get(), "Выбор", "A\r\nB"), -1);
    }

    // The component with its real windows and worker: CR LF from the service gives an extra
    // empty menu entry, and the connection chosen brings its paths.
    void theComponentWithItsWindows() {
        VendorServiceProcess service({"--crlf"});
        Environment env;
        QtPathLoaderWindows windows(env.Get());
        TPathLoader loader(&windows);
        loader.SetCaption("Korvalo");
        loader.SetConnectionDelay(0);
        loader.SetSoftwareID(kSoftwareId);
        loader.SetPathLoaderURLType(TPathLoaderURLType::plCustom);
        loader.SetPathLoaderURL({"", service.PathLoaderEndpoint()});
        QStringList captions;
        // The menu window opens once the service has answered and the connection window closed.
        testing::WhenModalWindow<TfmPathLoaderMenu>([&](TfmPathLoaderMenu* menu) {
            for (QPushButton* button : menu->Buttons())
                captions << button->text();
            QTest::mouseClick(menu->Buttons()[2], Qt::LeftButton);
        });
        QVERIFY(loader.Execute());
        QCOMPARE(captions, QStringList({"Основной сервер", "", "Резервный сервер"}));
        QCOMPARE(loader.MenuCaption(), std::string("Резервный сервер"));
        QCOMPARE(loader.Paths(), std::vector<std::string>{service.Url("/backup")});
        QCOMPARE(loader.BasePath(), service.Url("/backup"));
        QCOMPARE(loader.ErrorMessage(), std::string());
    }
};

}  // namespace korvalo

QTEST_MAIN(korvalo::PathLoaderWindowsTest)
#include "connection_window_test.moc"
