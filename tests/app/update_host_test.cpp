// korvalo-update's host in this process on the offscreen platform: what it reads of Korvalo's
// settings, and its exit statuses when discovery ends without a connection or a component
// raises an error.

#include <QTest>
#include <filesystem>

#include "app/update_host.h"
#include "core/version.h"
#include "support/files.h"
#include "support/qt/update_desk.h"
#include "support/qt/when_modal.h"
#include "support/soap_options.h"
#include "support/system_proxy_double.h"
#include "support/vendor_service_process.h"
#include "ui/pathloader/fm_path_loader_connection.h"

namespace korvalo {

namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using vendortest::VendorServiceProcess;

}  // namespace

class UpdateHostTest : public QObject {
    Q_OBJECT

private:
    TempDir dir_;

    // A host acting for dir/bin/korvalo, whose settings name the service's path-loader
    // endpoint, with direct connections and no browser proxies.
    UpdateHostOptions Options(const VendorServiceProcess& service) {
        fs::create_directories(dir_ / "bin");
        testing::WriteBytes(dir_ / "bin" / "korvalo.ini",
                            "[PathLoader]\r\nPathLoaderURLType=2\r\nPathLoaderURL=" +
                                service.PathLoaderEndpoint() + "\r\nMenuID=7\r\n");
        UpdateHostOptions options;
        options.programPath = (dir_ / "bin" / "korvalo").string();
        options.settingsPaths =
            SettingsPaths{(dir_ / "bin" / "korvalo.ini").string(),
                          (dir_ / "config" / "VALDOR" / "korvalo" / "korvalo.ini").string(), ""};
        options.systemProxy = std::make_shared<testing::FakeSystemProxy>();
        options.pathLoader.browserProxies = [] { return BrowserProxies{}; };
        options.pathLoader.openUrl = [](const std::string&) {};
        options.pathLoader.soap = testing::IsolatedSoapOptions();
        options.updateWindows.soap = options.pathLoader.soap;
        options.updateComp.module = std::make_shared<UpdateModuleSlot>(options.pathLoader.soap);
        return options;
    }

    std::string Catalog(const std::string& paths) {
        testing::WriteBytes(
            dir_ / "catalog.json",
            std::string(R"({"software": [{"id": "{2A9EB3FF-6117-4CC4-BC58-647DCFEE6428}",
             "module": "korvalo", "version": "99.0.0.0", "download": "${SELF}/d",
             "menus": {"7": [{"name": "Один", "paths": )") +
                paths + "}]}}]}");
        return (dir_ / "catalog.json").string();
    }

private slots:
    void initTestCase() {
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((dir_ / "config").string()));
    }

    void itActsForKorvaloWithItsSettings() {
        VendorServiceProcess service({"--config", Catalog(R"(["${SELF}/one"])")});
        UpdateHost host(Options(service));
        QCOMPARE(host.PathLoader().SoftwareID(), std::string(kSoftwareId));
        QCOMPARE(host.PathLoader().ConnectionDelay(), 0);
        QCOMPARE(host.UpdateComp().SoftwareID(), std::string(kSoftwareId));
        QCOMPARE(host.UpdateComp().Language(), TLanguage::ru);
        // Discovery closed by the person: 3, and the updater was made ready all the same.
        fs::create_directories(dir_ / "bin");
        testing::WriteBytes(dir_ / "bin" / "_Renovar", "updater");
        testing::WhenModal([](QWidget* modal) {
            QVERIFY(qobject_cast<TfmPathLoaderConnection*>(modal) != nullptr);
            modal->close();
        });
        QCOMPARE(host.Run(), kUpdateHostNoConnection);
        QCOMPARE(host.PathLoader().MenuID(), std::string("7"));
        QCOMPARE(testing::ReadBytesOrEmpty(dir_ / "config" / "VALDOR" / "korvalo" / "Renovar"),
                 std::string("updater"));
    }

    void errorsAreShownAndEndWithFour() {
        struct Case {
            std::string paths;
            std::vector<std::string> options;
            QString box;
        };
        const Case cases[] = {
            // The chosen connection has no path: the path loader's error.
            {"[]", {}, QStringLiteral("korvalo|List index out of bounds (0)")},
            // No download address: the update component's error (after "Да").
            {R"(["${SELF}/one"])",
             {"--refuse", "Нет адреса", "--fail-on-call", "3"},
             QStringLiteral("korvalo|Нет адреса")},
        };
        for (const Case& c : cases) {
            std::vector<std::string> options = {"--config", Catalog(c.paths)};
            options.insert(options.end(), c.options.begin(), c.options.end());
            VendorServiceProcess service(options);
            UpdateHost host(Options(service));
            testing::UpdateDesk desk;
            QCOMPARE(host.Run(), kUpdateHostError);
            QVERIFY(!desk.seen.isEmpty());
            QCOMPARE(desk.seen.back(), c.box + "|error");
        }
    }
};

}  // namespace korvalo

QTEST_MAIN(korvalo::UpdateHostTest)
#include "update_host_test.moc"
