#include "dialog/crashui.h"

#include "platform/basewidget.h"
#include "platform/configuration.h"
#include "builder/dialogbuilder.h"
#include "dialog/reportcontents.h"
#include "platform/dialoghelper.h"
#include "platform/simpletextwidget.h"
#include "platform/accessibility.h"
#include "platform/textedit.h"
#include "report/privacysettings.h"
#include "report/restartguard.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPalette>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QTimer>

// The compiled-in images live in a static library; this pulls them into every program that
// links the dialog.
static void initDialogResources()
{
    Q_INIT_RESOURCE(resources);
}

namespace {

const char kLayoutXml[] =
    u8"<?xml version=\"1.0\" encoding=\"utf-8\"?><DialogBuilderWidget>"
    u8"<txt id=\"1\" text=\"遇到未知错误，我们对由此引起的不便表示抱歉。我们已经产生了一个关于此错误的报告，"
    u8"希望您发送此报告给我们以帮助改善的质量。\" x=\"90\" y =\"10\" w=\"301\" h=\"81\" HAlign=\"0\"></txt>"
    u8"<txt id=\"2\" text=\"这个问题是如何出现的？\" x=\"20\" y =\"149\" w=\"132\" h=\"12\"></txt>"
    u8"</DialogBuilderWidget>";

// QString::arg with the title; a text without a place marker stays as it is (QString::arg would
// leave it unchanged too, but with a warning on every start).
QString withTitle(const QString& text, const QString& title)
{
    static const QRegularExpression marker(QStringLiteral("%[0-9]"));
    return text.contains(marker) ? text.arg(title, 0, QLatin1Char(' ')) : text;
}

} // namespace

crashui::crashui(QByteArray rootDir, QString title, QWidget* parent, Qt::WindowFlags flags, qint64 restartGuardSeconds,
                 const QString& whyNoGuard)
    : Lumo::CBaseDialog(QStringLiteral("Dialg"), QStringLiteral("NkDaDuzuzo.png"), parent, flags),
      m_progressTimer(nullptr), m_countdownTimer(nullptr), m_countdown(countdownSeconds()), m_builder(nullptr),
      m_textEdit(nullptr), m_okButton(nullptr), m_cancelButton(nullptr), m_progressBar(nullptr), m_sendBox(nullptr),
      m_restartBox(nullptr), m_noticeText(nullptr), m_rootDir(rootDir), m_restartGuardSeconds(restartGuardSeconds),
      m_whyNoGuard(whyNoGuard)
{
    // A deployment may require the user's click: then nothing is sent by waiting.
    m_countdownOff = m_countdown == 0;
    initDialogResources();
    // Before any of the dialog's own widgets exists: Qt keeps the first interface it makes.
    Lumo::installAccessibility();
    m_layoutXml = withTitle(withTitle(QString::fromUtf8(kLayoutXml), title), title);
    m_builder = new Lumo::CDialogBuilder(this);
    initWidgets();
    makeContentsButton();
    translate(title);
    makeAccessible();
    Lumo::CDialogHelper::fixCenter(this);
    setWindowTitle(title);
    setWindowIcon(QIcon(QStringLiteral(":/png/client3.png")));
    loadChoices();
    m_progressBar->hide();

    // Half the size difference from the origin of the available area, on purpose without its
    // left and top.
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move((area.width() - width()) / 2, (area.height() - height()) / 2);
    }
    setFixedSize(width(), height());
    // No minimise, maximise or close button (Cancel and Escape close it). X11 window managers
    // take the button hints only together with Qt::CustomizeWindowHint; the title stays.
    setWindowFlags((windowFlags() & Qt::WindowFlags(0xF7FF3FFF)) | Qt::CustomizeWindowHint | Qt::WindowTitleHint);

    connect(m_okButton, SIGNAL(clicked()), this, SLOT(slot_confirmClicked()));
    connect(m_cancelButton, SIGNAL(clicked()), this, SLOT(slot_cancelClicked()));
    connect(m_restartBox, SIGNAL(stateChanged(int)), this, SLOT(slot_TimeStop()));
    connect(m_sendBox, SIGNAL(stateChanged(int)), this, SLOT(slot_TimeStop()));
    connect(m_textEdit, SIGNAL(textChanged()), this, SLOT(slot_TimeStop()));
    connect(m_restartBox, &QCheckBox::toggled, this, [this] { m_restartChangedByUser = true; });

    m_countdownTimer = new QTimer(this);
    m_countdownTimer->setObjectName(QStringLiteral("countdownTimer"));
    connect(m_countdownTimer, SIGNAL(timeout()), this, SLOT(slot_Timeout()));
    m_countdownTimer->setSingleShot(false);
    if (!m_countdownOff)
        m_countdownTimer->start(1000);

    setKeyboardOrder();
}

void crashui::setKeyboardOrder()
{
    setTabOrder(m_sendBox, m_restartBox);
    setTabOrder(m_restartBox, m_textEdit);
    setTabOrder(m_textEdit, m_contentsButton);
    setTabOrder(m_contentsButton, m_okButton);
    setTabOrder(m_okButton, m_cancelButton);
    m_textEdit->setTabChangesFocus(true);
    for (QWidget* child : findChildren<QWidget*>()) {
        if (child->focusPolicy() != Qt::NoFocus && child != m_sendBox && child != m_restartBox && child != m_textEdit &&
            child != m_okButton && child != m_cancelButton && child != m_contentsButton)
            child->setFocusPolicy(Qt::ClickFocus); // the layout's container: not a tab stop
        child->installEventFilter(this);
    }
}

crashui::~crashui()
{
    // The timers and connections go with QObject; only the builder is owned here.
    delete m_builder;
}

void crashui::initWidgets()
{
    setFixedSize(418, 310);
    Lumo::CBaseWidget* container = m_builder->createFromXml(QString(m_layoutXml));
    // The layout text is fixed and well-formed; without a container there would be nothing to
    // show, so the dialog itself hosts the widgets then.
    QWidget* host = container ? static_cast<QWidget*>(container) : static_cast<QWidget*>(this);

    auto* warning = new QLabel(host);
    warning->setObjectName(QStringLiteral("warningSign"));
    warning->setGeometry(30, 19, 40, 51);
    QPixmap sign;
    sign.load(QStringLiteral(":/png/exclamation_mark.png"));
    warning->setPixmap(sign);

    m_noticeText = dynamic_cast<Lumo::CSimpleTextWidget*>(m_builder->getWidget(1));
    if (m_noticeText) {
        QPalette palette;
        const QBrush base(QColor(240, 240, 240, 255), Qt::SolidPattern);
        palette.setBrush(QPalette::Active, QPalette::Base, base);
        palette.setBrush(QPalette::Inactive, QPalette::Base, base);
        palette.setBrush(QPalette::Disabled, QPalette::Base, base);
        m_noticeText->setPalette(palette);
        m_noticeText->setFocusPolicy(Qt::NoFocus);
        m_noticeText->setContextMenuPolicy(Qt::NoContextMenu);
        m_noticeText->setAutoFillBackground(false);
    }

    m_sendBox = new QCheckBox(QStringLiteral("发送错误报告"), host);
    m_sendBox->setObjectName(QStringLiteral("sendBox"));
    m_sendBox->setGeometry(20, 99, 113, 16);
    m_restartBox = new QCheckBox(QStringLiteral("重启程序"), host);
    m_restartBox->setObjectName(QStringLiteral("restartBox"));
    m_restartBox->setGeometry(20, 119, 89, 16);
    m_textEdit = new Lumo::CTextEdit(5, host, false, false);
    m_textEdit->setObjectName(QStringLiteral("textEdit"));
    m_textEdit->setGeometry(20, 170, 361, 91);
    m_progressBar = new QProgressBar(host);
    m_progressBar->setObjectName(QStringLiteral("progressBar"));
    m_progressBar->setEnabled(true);
    m_progressBar->setGeometry(20, 280, 181, 21);
    m_progressBar->setAutoFillBackground(false);
    m_progressBar->setValue(0);
    m_progressBar->setTextVisible(false);
    m_progressBar->setOrientation(Qt::Horizontal);
    m_okButton = new QPushButton(QStringLiteral("确定 (10s)"), host);
    m_okButton->setObjectName(QStringLiteral("okButton"));
    m_okButton->setGeometry(230, 280, 81, 23);
    m_cancelButton = new QPushButton(QStringLiteral("取消"), host);
    m_cancelButton->setObjectName(QStringLiteral("cancelButton"));
    m_cancelButton->setGeometry(320, 280, 81, 23);
}

void crashui::makeContentsButton()
{
    // A link in the free space of the bottom row, where the progress bar shows while sending.
    m_contentsButton = new QPushButton(tr("报告内容…"), m_okButton->parentWidget());
    m_contentsButton->setObjectName(QStringLiteral("contentsButton"));
    m_contentsButton->setFlat(true);
    m_contentsButton->setCursor(Qt::PointingHandCursor);
    QFont font = m_contentsButton->font();
    font.setUnderline(true);
    m_contentsButton->setFont(font);
    QPalette palette = m_contentsButton->palette();
    palette.setColor(QPalette::ButtonText, palette.color(QPalette::Link));
    m_contentsButton->setPalette(palette);
    const int textWidth = m_contentsButton->fontMetrics().horizontalAdvance(m_contentsButton->text()) + 16;
    m_contentsButton->setGeometry(20, 280, qMin(181, qMax(textWidth, m_contentsButton->sizeHint().width())), 23);
    m_contentsButton->setAccessibleName(tr("报告内容"));
    m_contentsButton->setAccessibleDescription(tr("显示将要发送的内容"));
    m_contentsButton->hide();
    connect(m_contentsButton, &QPushButton::clicked, this, [this] { showReportContents(); });
}

void crashui::setReportPreview(const ReportPreview& preview)
{
    m_preview = preview;
    m_contentsButton->setVisible(!preview.dump.path.isEmpty() && !m_sending);
    // The logs are scrubbed from now on, while the user reads; confirming then costs no scrubbing.
    if (!m_contents && !preview.dump.path.isEmpty() && m_sendBox->isChecked())
        m_contents = new ReportContents(m_preview, this);
}

void crashui::showReportContents()
{
    // The user is looking at what would be sent: nothing goes while they read.
    if (m_countdownTimer->isActive())
        slot_TimeStop();
    if (!m_contents)
        m_contents = new ReportContents(m_preview, this);
    m_contents->present(m_textEdit->toPlainText());
}

void crashui::translate(const QString& title)
{
    // The source texts are Chinese; a translation replaces them where one is installed.
    if (m_noticeText) {
        QString apology = tr("遇到未知错误，我们对由此引起的不便表示抱歉。我们已经产生了一个关于此错误的报告，"
                             "希望您发送此报告给我们以帮助改善的质量。");
        if (apology.contains(QLatin1String("%1")))
            apology = apology.arg(title.isEmpty() ? tr("我们的软件") : title);
        m_noticeText->setText(apology);
    }
    auto* question = dynamic_cast<Lumo::CSimpleTextWidget*>(m_builder->getWidget(2));
    if (question)
        question->setText(tr("这个问题是如何出现的？"));
    m_sendBox->setText(tr("发送错误报告"));
    m_restartBox->setText(tr("重启程序"));
    m_okButton->setText(countdownLabel());
    m_cancelButton->setText(tr("取消"));

    // The rectangles were chosen for the Chinese texts. A longer translation widens its own
    // rectangle to the right, into free space; no other widget moves.
    if (m_sendBox->text() == QStringLiteral("发送错误报告"))
        return;
    for (QCheckBox* box : {m_sendBox, m_restartBox})
        box->resize(qMax(box->width(), box->sizeHint().width()), box->height());
    if (question) {
        // Up to the description box's width, and one line's height (it ends at the box's top).
        const QRect needed = question->fontMetrics().boundingRect(QRect(0, 0, 361, 21), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
                                                                  question->text());
        question->resize(qMin(qMax(question->width(), needed.width()), 361), qMin(qMax(question->height(), needed.height()), 21));
    }
}

QString crashui::countdownLabel() const
{
    if (m_countdownOff)
        return tr("确定");
    return tr("确定 (%1s)").arg(QString::number(m_countdown, 10));
}

void crashui::makeAccessible()
{
    // What a screen reader reads: each control by name, the apology and the question as static
    // text, and once, for the whole dialog, that it confirms by itself.
    if (m_noticeText)
        m_noticeText->setAccessibleName(tr("出现错误"));
    if (!m_countdownOff)
        setAccessibleDescription(tr("如不按任何键，此对话框将在 %1 秒后自动确定。").arg(m_countdown));
    if (auto* question = dynamic_cast<Lumo::CSimpleTextWidget*>(m_builder->getWidget(2))) {
        question->setAccessibleName(question->text());
        m_textEdit->setAccessibleName(question->text());
    }
    if (auto* warning = findChild<QLabel*>(QStringLiteral("warningSign")))
        warning->setAccessibleName(tr("警告"));
    m_sendBox->setAccessibleName(m_sendBox->text());
    m_restartBox->setAccessibleName(m_restartBox->text());
    // A name that changed every second would be read out every second: the button keeps one.
    m_okButton->setAccessibleName(tr("确定"));
    m_cancelButton->setAccessibleName(m_cancelButton->text());
    m_progressBar->setAccessibleName(tr("正在发送错误报告"));
}

bool crashui::eventFilter(QObject* watched, QEvent* event)
{
    // The user who presses keys is reading: the countdown must not run out under them.
    if (event->type() == QEvent::KeyPress && m_countdownTimer && m_countdownTimer->isActive())
        slot_TimeStop();
    return Lumo::CBaseDialog::eventFilter(watched, event);
}

void crashui::keyPressEvent(QKeyEvent* event)
{
    if (m_countdownTimer && m_countdownTimer->isActive())
        slot_TimeStop();
    Lumo::CBaseDialog::keyPressEvent(event);
}

std::string crashui::settingsFilePath() const
{
    return (m_rootDir + QByteArrayLiteral("/dumps/crashui.ini")).toStdString();
}

void crashui::loadChoices()
{
    utils::Configuration config(std::string(), true);
    config.load(settingsFilePath());
    m_restartBox->setChecked(config.readInt("user", "isRestart", 1) == 1);
    m_sendBox->setChecked(config.readInt("user", "isSend", 1) == 1);
    // A host that crashes right after crashui restarted it must not loop through dialog, restart
    // and crash with nobody at the keyboard.
    m_restartRemembered = m_restartBox->isChecked();
    const QString dumpDir = QString::fromUtf8(m_rootDir) + QStringLiteral("/dumps");
    const auto guarded = [&] {
        return m_restartGuardSeconds < 0
                   ? RestartGuard::restartedRecently(dumpDir)
                   : RestartGuard::restartedRecently(dumpDir, m_restartGuardSeconds, m_whyNoGuard);
    };
    if (m_restartRemembered && guarded()) {
        m_restartBox->setChecked(false);
        m_restartGuarded = true;
    }
}

void crashui::saveChoices()
{
    utils::Configuration config(std::string(), true);
    config.load(settingsFilePath());
    // Only a change the user makes is remembered, not the guard's.
    const bool restart = m_restartGuarded && !m_restartChangedByUser ? m_restartRemembered : m_restartBox->isChecked();
    config.write("user", "isRestart", restart ? 1 : 0);
    config.write("user", "isSend", m_sendBox->isChecked() ? 1 : 0);
    config.save();
}

void crashui::slot_Timeout()
{
    if (m_countdownOff)
        return; // no countdown: only the user confirms
    --m_countdown;
    Lumo::setButtonText(m_okButton, countdownLabel());
    if (m_countdown == 0)
        slot_confirmClicked();
}

void crashui::slot_TimeStop()
{
    m_countdownTimer->stop();
    Lumo::setButtonText(m_okButton, tr("确定"));
}

void crashui::mousePressEvent(QMouseEvent* event)
{
    QWidget::mousePressEvent(event);
    slot_TimeStop();
}

void crashui::slot_confirmClicked()
{
    m_countdownTimer->stop();
    Message message;
    message.isSend = m_sendBox->isChecked();
    message.isRestart = m_restartBox->isChecked();
    message.description = m_textEdit->toPlainText();
    if (m_contents) {
        message.leftOut = m_contents->leftOut();
        message.shown = m_contents->shownLogs();
    }
    emit sig_crashInfo(message);
}

void crashui::slot_sendMail()
{
    m_sending = true;
    m_contentsButton->hide();
    m_progressBar->show();
    m_okButton->setEnabled(false);
    m_textEdit->setEnabled(false);
    m_restartBox->setEnabled(false);
    m_sendBox->setEnabled(false);
    if (!m_progressTimer) {
        m_progressTimer = new QTimer(this);
        m_progressTimer->setObjectName(QStringLiteral("progressTimer"));
        connect(m_progressTimer, &QTimer::timeout, this, &crashui::slot_Timer);
    }
    m_progressTimer->setSingleShot(false);
    m_progressTimer->start(500);
}

void crashui::slot_Timer()
{
    const int next = m_progressBar->value() + 20;
    m_progressBar->setValue(next < 100 ? next : 0);
}

void crashui::slot_mailSended(bool success)
{
    m_sending = false;
    if (!success)
        qWarning("crashui: the crash report could not be sent");
    else if (m_dismissed)
        qWarning("crashui: the crash report was sent");
    if (!success && !m_dismissed) {
        QMessageBox box(QMessageBox::Critical, tr("错误"), tr("邮件发送失败"), QMessageBox::Ok, this);
        box.setDefaultButton(QMessageBox::NoButton);
        if (m_outcome && !m_outcome->reason().isEmpty()) {
            // What becomes of the report, in the user's words; the technical reason in the details.
            if (m_outcome->whenOnline())
                box.setInformativeText(tr("报告已保留，将在网络恢复或下一份报告发送成功时发送。"));
            else
                box.setInformativeText(m_outcome->kept() ? tr("报告已保留，将在下一份报告发送成功时一并发送。")
                                                         : tr("报告未能保留，转储文件仍在原处。"));
            box.setDetailedText(m_outcome->reason());
        }
        box.exec();
    }
    saveChoices();
    close();
    // A hidden window's close does not end the event loop (Qt 6 as well): end it here.
    if (m_dismissed)
        QCoreApplication::quit();
}

void crashui::slot_cancelClicked()
{
    close();
}

void crashui::closeEvent(QCloseEvent* event)
{
    if (m_sending) {
        event->ignore();
        m_dismissed = true;
        hide();
        return;
    }
    Lumo::CBaseDialog::closeEvent(event);
}

void crashui::reject()
{
    if (m_sending) {
        m_dismissed = true;
        hide();
        return;
    }
    Lumo::CBaseDialog::reject();
}
