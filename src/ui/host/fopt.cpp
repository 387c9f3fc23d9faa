#define PCRE2_CODE_UNIT_WIDTH 8
#include "ui/host/fopt.h"

#include <pcre2.h>

#include <QCheckBox>
#include <QEvent>
#include <QFont>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QTabWidget>
#include <memory>
#include <stdexcept>

#include "state/settings/settings_loader.h"

namespace korvalo {

namespace {

// ---- the two server patterns ----

const char kIpv4Pattern[] =
    R"(\b(25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\.(25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\.)"
    R"((25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\.(25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\b)";
const char kHostPattern[] =
    R"((http[s]?:\/\/)?(www\.)?[-a-zA-Z0-9@:%._\+~#=]{2,256}\.[a-z]{2,6}\b([-a-zA-Z0-9@:%_\+.~#?&//=]*))";

struct CodeDeleter {
    void operator()(pcre2_code* code) const { pcre2_code_free(code); }
};
struct MatchDataDeleter {
    void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};
using Code = std::unique_ptr<pcre2_code, CodeDeleter>;
using MatchData = std::unique_ptr<pcre2_match_data, MatchDataDeleter>;

// A compiled pattern searched anywhere in a text.
class Pattern {
public:
    explicit Pattern(const char* pattern) {
        int error = 0;
        PCRE2_SIZE offset = 0;
        code_.reset(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED,
                                  PCRE2_UTF | PCRE2_MATCH_INVALID_UTF, &error, &offset, nullptr));
        if (!code_)
            throw std::logic_error("proxy server pattern does not compile");
    }

    // A non-empty match anywhere in text.
    bool Search(std::string_view text) const {
        MatchData data(pcre2_match_data_create_from_pattern(code_.get(), nullptr));
        if (!data)
            throw std::bad_alloc();
        const int rc = pcre2_match(code_.get(), reinterpret_cast<PCRE2_SPTR>(text.data()),
                                   text.size(), 0, PCRE2_NOTEMPTY, data.get(), nullptr);
        return rc > 0;
    }

private:
    Code code_;
};

QFont DialogFont() {
    QFont font(QStringLiteral("Tahoma"));
    font.setPointSize(8);
    return font;
}

// A label that toggles its check box when clicked, for a check box text too long for one
// line.
class CheckBoxCaption : public QLabel {
public:
    CheckBoxCaption(const QString& text, QCheckBox* box, QWidget* parent)
        : QLabel(text, parent), box_(box) {
        setWordWrap(true);
    }

protected:
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton && box_->isEnabled() &&
            rect().contains(event->position().toPoint()))
            box_->click();
        QLabel::mouseReleaseEvent(event);
    }

private:
    QCheckBox* box_;
};

}  // namespace

bool ProxyServerTextAccepted(std::string_view text) {
    static const Pattern ipv4(kIpv4Pattern);
    static const Pattern host(kHostPattern);
    return ipv4.Search(text) || host.Search(text);
}

TFOptions::TFOptions(std::string mainIni, ICredentialsPrompt& prompt, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      mainIni_(std::move(mainIni)),
      prompt_(prompt) {
    setObjectName(QStringLiteral("FOptions"));
    setWindowTitle(QStringLiteral("Настройки"));
    setFont(DialogFont());
    setFixedSize(376, 283);

    pageControl_ = new QTabWidget(this);
    pageControl_->setObjectName(QStringLiteral("PageControl1"));
    pageControl_->setGeometry(4, 4, 368, 230);

    // "Прокси-сервер"
    auto* proxyTab = new QWidget;
    proxyTab->setObjectName(QStringLiteral("TabSheetProxy"));
    radioButtonManual_ =
        new QRadioButton(QStringLiteral("Конфигурировать прокси-сервер вручную"), proxyTab);
    radioButtonManual_->setObjectName(QStringLiteral("RadioButtonManual"));
    radioButtonManual_->setGeometry(12, 10, 340, 20);
    groupBox1_ = new QGroupBox(proxyTab);
    groupBox1_->setObjectName(QStringLiteral("GroupBox1"));
    groupBox1_->setGeometry(12, 36, 340, 110);
    auto* serverLabel = new QLabel(QStringLiteral("Прокси-сервер"), groupBox1_);
    serverLabel->setObjectName(QStringLiteral("LabelServer"));
    serverLabel->setGeometry(12, 12, 316, 16);
    edServer_ = new QLineEdit(groupBox1_);
    edServer_->setObjectName(QStringLiteral("EdServer"));
    edServer_->setGeometry(12, 30, 316, 22);
    serverLabel->setBuddy(edServer_);
    auto* portLabel = new QLabel(QStringLiteral("Порт"), groupBox1_);
    portLabel->setObjectName(QStringLiteral("LabelPort"));
    portLabel->setGeometry(12, 58, 120, 16);
    edPort_ = new QLineEdit(groupBox1_);
    edPort_->setObjectName(QStringLiteral("EdPort"));
    edPort_->setGeometry(12, 76, 90, 22);
    edPort_->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edPort_));
    portLabel->setBuddy(edPort_);
    radioButtonAuto_ =
        new QRadioButton(QStringLiteral("Автоматическая конфигурация прокси-сервера"), proxyTab);
    radioButtonAuto_->setObjectName(QStringLiteral("RadioButtonAuto"));
    radioButtonAuto_->setGeometry(12, 156, 340, 20);
    pageControl_->addTab(proxyTab, QStringLiteral("Прокси-сервер"));

    // "ЭЦП"
    auto* signTab = new QWidget;
    signTab->setObjectName(QStringLiteral("TabSheetSign"));
    checkBoxAvSign_ = new QCheckBox(signTab);
    checkBoxAvSign_->setObjectName(QStringLiteral("CheckBoxAvSign"));
    checkBoxAvSign_->setGeometry(12, 14, 20, 20);
    const QString avSignText = QStringLiteral(
        "Присоединить к подписи атрибутные сертификаты (для сертификатов, полученных в УЦ РУП "
        "«Национальный центр электронных услуг»)");
    checkBoxAvSign_->setAccessibleName(avSignText);
    checkBoxAvSign_->setToolTip(avSignText);
    auto* avSignCaption = new CheckBoxCaption(avSignText, checkBoxAvSign_, signTab);
    avSignCaption->setObjectName(QStringLiteral("LabelAvSign"));
    avSignCaption->setGeometry(34, 12, 318, 48);
    avSignCaption->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    pageControl_->addTab(signTab, QStringLiteral("ЭЦП"));

    // "Обновление"
    auto* updateTab = new QWidget;
    updateTab->setObjectName(QStringLiteral("TabSheetUpdate"));
    checkBoxUpdate_ =
        new QCheckBox(QStringLiteral("Проверять наличие обновлений при запуске"), updateTab);
    checkBoxUpdate_->setObjectName(QStringLiteral("CheckBoxUpdate"));
    checkBoxUpdate_->setGeometry(12, 14, 340, 20);
    checkBoxUpdate_->setEnabled(false);
    pageControl_->addTab(updateTab, QStringLiteral("Обновление"));
    pageControl_->setCurrentIndex(0);

    // Bottom panel.
    auto* panel = new QWidget(this);
    panel->setObjectName(QStringLiteral("Panel1"));
    panel->setGeometry(0, 238, 376, 45);
    button1_ = new QPushButton(QStringLiteral("OK"), panel);
    button1_->setObjectName(QStringLiteral("Button1"));
    button1_->setGeometry(206, 10, 75, 25);
    button1_->setDefault(true);
    button2_ = new QPushButton(QStringLiteral("Отмена"), panel);
    button2_->setObjectName(QStringLiteral("Button2"));
    button2_->setGeometry(290, 10, 75, 25);
    button2_->setAutoDefault(false);

    connect(radioButtonManual_, &QRadioButton::clicked, this, [this] { RadioButtonManualClick(); });
    connect(radioButtonAuto_, &QRadioButton::clicked, this, [this] { RadioButtonAutoClick(); });
    connect(checkBoxAvSign_, &QCheckBox::clicked, this, [this] { CheckBoxAvSignClick(); });
    connect(checkBoxUpdate_, &QCheckBox::clicked, this, [this] { CheckBoxUpdateClick(); });
    connect(button1_, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(button2_, &QPushButton::clicked, this, [this] { done(2); });

    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    FormCreate();
}

void TFOptions::FormCreate() {
    const OptionsValues stored = ReadOptionsValues(mainIni_);
    useAutoProxy = stored.useAutoProxy;
    proxyAddress = stored.proxyAddress;
    proxyPort = stored.proxyPort;
    proxyAccess = stored.proxyAccess;
    hashAlgOID = stored.hashAlgOID;
    debug = stored.debug;
    debugExt = stored.debugExt;
    avCrypt = stored.avCrypt;
    bCheckUpdate = stored.bCheckUpdate;

    // Selecting a button runs its click handler, as a click would.
    if (useAutoProxy) {
        radioButtonAuto_->setChecked(true);
        RadioButtonAutoClick();
    } else {
        radioButtonManual_->setChecked(true);
        RadioButtonManualClick();
    }
    checkBoxAvSign_->setChecked(avCrypt);
    edServer_->setText(QString::fromStdString(proxyAddress));
    edPort_->setText(QString::fromStdString(proxyPort));
    checkBoxUpdate_->setChecked(bCheckUpdate);
    UpdateProxyControls();
}

void TFOptions::UpdateProxyControls() {
    useAutoProxy = radioButtonAuto_->isChecked();
    groupBox1_->setEnabled(!useAutoProxy);
    for (QLineEdit* field : {edServer_, edPort_}) {
        QPalette palette = field->palette();
        const QColor base = useAutoProxy ? palette.color(QPalette::Active, QPalette::Button)
                                         : QGuiApplication::palette().color(QPalette::Base);
        palette.setColor(QPalette::Active, QPalette::Base, base);
        palette.setColor(QPalette::Inactive, QPalette::Base, base);
        palette.setColor(QPalette::Disabled, QPalette::Base, base);
        field->setPalette(palette);
    }
}

void TFOptions::RadioButtonManualClick() {
    if (radioButtonManual_->isChecked())
        radioButtonAuto_->setChecked(false);
    UpdateProxyControls();
}

void TFOptions::RadioButtonAutoClick() {
    if (radioButtonAuto_->isChecked())
        radioButtonManual_->setChecked(false);
    edServer_->clear();
    edPort_->clear();
    proxyAccess.clear();
    UpdateProxyControls();
}

void TFOptions::CheckBoxAvSignClick() {
    avCrypt = checkBoxAvSign_->isChecked();
}

void TFOptions::CheckBoxUpdateClick() {
    bCheckUpdate = checkBoxUpdate_->isChecked();
}

void TFOptions::Button1Click() {
    const std::string server = edServer_->text().toStdString();
    const std::string port = edPort_->text().toStdString();
    if (radioButtonManual_->isChecked() && !server.empty() && !port.empty()) {
        if (!ProxyServerTextAccepted(server)) {
            // Red text; the dialog stays open and nothing is written.
            QPalette palette = edServer_->palette();
            palette.setColor(QPalette::Text, Qt::red);
            edServer_->setPalette(palette);
            return;
        }
        proxyAccess.clear();
        if (prompt_.ShowLoginDialog(userName, userPwd, isSavePwd) &&
            (!userName.empty() || !userPwd.empty()))
            proxyAccess = EncodeProxyAccess(userName, userPwd);
    }

    OptionsValues values;
    values.useAutoProxy = useAutoProxy;
    values.proxyAddress = server;
    values.proxyPort = port;
    values.proxyAccess = proxyAccess;
    values.hashAlgOID = hashAlgOID;
    values.debug = debug;
    values.debugExt = debugExt;
    values.avCrypt = avCrypt;
    values.bCheckUpdate = bCheckUpdate;
    try {
        WriteOptionsValues(mainIni_, values);
    } catch (const std::exception& error) {
        // Nothing was written; the user may correct the cause and press OK again.
        QMessageBox::warning(
            this, windowTitle(),
            QStringLiteral("Не удалось сохранить настройки в файл %1: %2")
                .arg(QString::fromStdString(mainIni_), QString::fromLocal8Bit(error.what())));
        return;
    }
    done(1);
}

void TFOptions::reject() {
    done(2);
}

}  // namespace korvalo
