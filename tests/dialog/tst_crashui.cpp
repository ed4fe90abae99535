#include "dialog/crashui.h"
#include "dialog/translation.h"

#include "platform/basewidget.h"
#include "platform/simpletextwidget.h"
#include "platform/textedit.h"
#include "report/restartguard.h"
#include "tests/tools/modalboxanswerer.h"
#include "tests/tools/testhost.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMetaMethod>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

#include <sys/stat.h>

namespace {

// Passed once the countdown's next tick, had it still been running, would have come: a
// single-shot timer of a little more than its interval (beyond a coarse timer's slack), started now.
struct NextTick {
    explicit NextTick(const QTimer* countdown)
    {
        sentinel.setSingleShot(true);
        QObject::connect(&sentinel, &QTimer::timeout, [this] { passed = true; });
        sentinel.start(countdown->interval() * 11 / 10);
    }
    QTimer sentinel;
    bool passed = false;
};

// A dialog over a fresh root directory with a dumps folder.
struct Fixture {
    // restartedSecondsAgo: crashui restarted the host that long before this crash (none when < 0).
    Fixture(const QByteArray& ini = QByteArray(), const QString& title = QStringLiteral("HostApp"),
            int restartedSecondsAgo = -1)
    {
        QDir().mkpath(root.filePath(QStringLiteral("dumps")));
        if (!ini.isNull())
            writeFile(iniPath(), ini);
        if (restartedSecondsAgo >= 0)
            RestartGuard::recordRestart(root.filePath(QStringLiteral("dumps")),
                                        QDateTime::currentDateTimeUtc().addSecs(-restartedSecondsAgo));
        dialog = std::make_unique<crashui>(root.path().toUtf8(), title, nullptr, Qt::WindowFlags());
        spy = std::make_unique<QSignalSpy>(dialog.get(), &crashui::sig_crashInfo);
    }
    QString iniPath() const { return root.filePath(QStringLiteral("dumps/crashui.ini")); }
    QByteArray ini() const { return readFile(iniPath()); }
    template <typename T>
    T* child(const char* name) const
    {
        return dialog->findChild<T*>(QString::fromLatin1(name));
    }
    QPushButton* ok() const { return child<QPushButton>("okButton"); }
    QPushButton* cancel() const { return child<QPushButton>("cancelButton"); }
    QCheckBox* sendBox() const { return child<QCheckBox>("sendBox"); }
    QCheckBox* restartBox() const { return child<QCheckBox>("restartBox"); }
    Lumo::CTextEdit* textEdit() const { return child<Lumo::CTextEdit>("textEdit"); }
    QProgressBar* progress() const { return child<QProgressBar>("progressBar"); }
    QTimer* countdownTimer() const { return child<QTimer>("countdownTimer"); }
    Message lastMessage() const { return spy->last().at(0).value<Message>(); }
    void tick(int times)
    {
        for (int i = 0; i < times; ++i)
            QMetaObject::invokeMethod(dialog.get(), "slot_Timeout");
    }

    QTemporaryDir root;
    std::unique_ptr<crashui> dialog;
    std::unique_ptr<QSignalSpy> spy;
};

} // namespace

class tst_Crashui : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void initialState();
    void metaObjectInterface();
    void tenTicksConfirmOnce();
    void okAtSevenConfirmsOnce();
    void stopTriggers_data();
    void stopTriggers();
    void savedStates_data();
    void savedStates();
    void sendingState();
    void progressCycle();
    void failureBoxBeforeSaving();
    void successSavesAndCloses();
    void cancelLeavesSettings();
    void crashLoopGuard_data();
    void crashLoopGuard();
    void failureBoxDetails_data();
    void failureBoxDetails();
    void closedWhileSending_data();
    void closedWhileSending();
    void realTimerConfirms();
    void unusualSettingsFiles_data();
    void unusualSettingsFiles();
    void countdownSetting_data();
    void countdownSetting();
};

void tst_Crashui::initTestCase()
{
    qRegisterMetaType<Message>("Message");
}

void tst_Crashui::cleanup()
{
    // Every test leaves no window behind, boxes included.
    QTRY_VERIFY(QApplication::topLevelWidgets().isEmpty());
}

void tst_Crashui::initialState()
{
    Fixture f;
    crashui& d = *f.dialog;
    QCOMPARE(d.windowTitle(), QStringLiteral("HostApp"));
    QCOMPARE(f.ok()->text(), QStringLiteral("确定 (10s)"));
    QVERIFY(f.progress()->isHidden());
    QCOMPARE(f.progress()->value(), 0);
    QVERIFY(!f.progress()->isTextVisible());
    QCOMPARE(d.size(), QSize(418, 310));
    QCOMPARE(d.minimumSize(), QSize(418, 310));
    QCOMPARE(d.maximumSize(), QSize(418, 310));
    const Qt::WindowFlags flags = d.windowFlags();
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(!(flags & Qt::WindowCloseButtonHint));
    QVERIFY(!d.windowIcon().isNull());
    QVERIFY(f.countdownTimer() && f.countdownTimer()->isActive());
    // Centred from the origin of the available area.
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    QCOMPARE(d.pos(), QPoint((area.width() - 418) / 2, (area.height() - 310) / 2));
    // The apology text from the layout, with its look.
    Lumo::CSimpleTextWidget* notice = nullptr;
    for (auto* w : d.findChildren<Lumo::CBaseWidget*>())
        if (auto* t = dynamic_cast<Lumo::CSimpleTextWidget*>(w); t && t->text().startsWith(QStringLiteral("遇到未知错误")))
            notice = t;
    QVERIFY(notice);
    QCOMPARE(notice->geometry(), QRect(90, 10, 301, 81));
    QCOMPARE(notice->focusPolicy(), Qt::NoFocus);
    QCOMPARE(notice->palette().color(QPalette::Inactive, QPalette::Base), QColor(240, 240, 240));
    QCOMPARE(f.textEdit()->geometry(), QRect(20, 170, 361, 91));
    QCOMPARE(f.cancel()->geometry(), QRect(320, 280, 81, 23));
    // No title: empty.
    Fixture untitled{QByteArray(), QString()};
    QCOMPARE(untitled.dialog->windowTitle(), QString());
}

void tst_Crashui::metaObjectInterface()
{
    const QMetaObject* meta = &crashui::staticMetaObject;
    QCOMPARE(QByteArray(meta->className()), QByteArray("crashui"));
    QCOMPARE(meta->superClass(), &QDialog::staticMetaObject);
    const QList<QByteArray> expected{"sig_crashInfo(Message)", "slot_confirmClicked()", "slot_cancelClicked()",
                                     "slot_mailSended(bool)",  "slot_sendMail()",       "slot_Timer()",
                                     "slot_Timeout()",         "slot_TimeStop()"};
    QCOMPARE(meta->methodCount() - meta->methodOffset(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(meta->method(meta->methodOffset() + i).methodSignature(), expected.at(i));
    QCOMPARE(meta->method(meta->methodOffset()).methodType(), QMetaMethod::Signal);
}

void tst_Crashui::tenTicksConfirmOnce()
{
    Fixture f("[user]\nisSend=1\nisRestart=0\n");
    f.tick(9);
    QCOMPARE(f.spy->count(), 0);
    QCOMPARE(f.ok()->text(), QStringLiteral("确定 (1s)"));
    f.tick(1);
    QCOMPARE(f.spy->count(), 1);
    QCOMPARE(f.ok()->text(), QStringLiteral("确定 (0s)"));
    QVERIFY(!f.countdownTimer()->isActive());
    const Message m = f.lastMessage();
    QVERIFY(m.isSend);
    QVERIFY(!m.isRestart);
    QCOMPARE(m.description, QString());
}

void tst_Crashui::okAtSevenConfirmsOnce()
{
    Fixture f;
    f.tick(3);
    QCOMPARE(f.ok()->text(), QStringLiteral("确定 (7s)"));
    QTest::mouseClick(f.ok(), Qt::LeftButton);
    QCOMPARE(f.spy->count(), 1);
    QCOMPARE(f.ok()->text(), QStringLiteral("确定 (7s)"));
    QVERIFY(!f.countdownTimer()->isActive());
    NextTick next(f.countdownTimer()); // the stopped timer never ticks again
    QTRY_VERIFY_WITH_TIMEOUT(next.passed, 30000);
    QCOMPARE(f.spy->count(), 1);
}

void tst_Crashui::stopTriggers_data()
{
    QTest::addColumn<QString>("trigger");
    QTest::newRow("typing") << "type";
    QTest::newRow("send box") << "send";
    QTest::newRow("restart box") << "restart";
    QTest::newRow("press on the background") << "background";
}

void tst_Crashui::stopTriggers()
{
    QFETCH(QString, trigger);
    Fixture f;
    f.dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.dialog.get()));
    f.tick(2);
    if (trigger == "type") {
        QTest::keyClicks(f.textEdit(), QStringLiteral("x"));
        QCOMPARE(f.textEdit()->toPlainText(), QStringLiteral("x"));
    } else if (trigger == "send") {
        QTest::mouseClick(f.sendBox(), Qt::LeftButton, Qt::NoModifier, QPoint(5, 8));
        QVERIFY(!f.sendBox()->isChecked());
    } else if (trigger == "restart") {
        QTest::mouseClick(f.restartBox(), Qt::LeftButton, Qt::NoModifier, QPoint(5, 8));
        QVERIFY(!f.restartBox()->isChecked());
    } else {
        // An empty spot of the container between the boxes and the description.
        QWidget* container = f.sendBox()->parentWidget();
        QTest::mouseClick(container, Qt::LeftButton, Qt::NoModifier, QPoint(300, 130));
    }
    QCOMPARE(f.ok()->text(), QStringLiteral("确定"));
    QVERIFY(!f.countdownTimer()->isActive());
    QCOMPARE(f.spy->count(), 0);
    // OK still confirms, with what was chosen.
    QTest::mouseClick(f.ok(), Qt::LeftButton);
    QCOMPARE(f.spy->count(), 1);
    QCOMPARE(f.lastMessage().description, trigger == "type" ? QStringLiteral("x") : QString());
    QCOMPARE(f.lastMessage().isSend, trigger != "send");
    QCOMPARE(f.lastMessage().isRestart, trigger != "restart");
}

void tst_Crashui::savedStates_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<bool>("send");
    QTest::addColumn<bool>("restart");
    QTest::newRow("no file") << QByteArray() << true << true;
    QTest::newRow("isSend 0") << QByteArray("[user]\nisSend=0\n") << false << true;
    QTest::newRow("isSend 2") << QByteArray("[user]\nisSend=2\nisRestart=1\n") << false << true;
    QTest::newRow("both 0") << QByteArray("[user]\nisSend=0\nisRestart=0\n") << false << false;
    QTest::newRow("garbage") << QByteArray("\x01\x02\xff\xfe") << true << true;
}

void tst_Crashui::savedStates()
{
    QFETCH(QByteArray, ini);
    QFETCH(bool, send);
    QFETCH(bool, restart);
    Fixture f(ini.isEmpty() ? QByteArray() : ini);
    QCOMPARE(f.sendBox()->isChecked(), send);
    QCOMPARE(f.restartBox()->isChecked(), restart);
    // Applying them did not stop the countdown.
    QVERIFY(f.countdownTimer()->isActive());
    QCOMPARE(f.ok()->text(), QStringLiteral("确定 (10s)"));
}

void tst_Crashui::sendingState()
{
    Fixture f;
    QVERIFY(QMetaObject::invokeMethod(f.dialog.get(), "slot_sendMail"));
    QVERIFY(!f.progress()->isHidden());
    QVERIFY(!f.ok()->isEnabled());
    QVERIFY(!f.textEdit()->isEnabled());
    QVERIFY(!f.sendBox()->isEnabled());
    QVERIFY(!f.restartBox()->isEnabled());
    QVERIFY(f.cancel()->isEnabled());
    QTimer* progressTimer = f.child<QTimer>("progressTimer");
    QVERIFY(progressTimer && progressTimer->isActive());
    // A second call restarts the same timer.
    QVERIFY(QMetaObject::invokeMethod(f.dialog.get(), "slot_sendMail"));
    QCOMPARE(f.dialog->findChildren<QTimer*>(QString(), Qt::FindDirectChildrenOnly).size(), 2);
    // A press on the dialog in this state only sets the text.
    QTest::mouseClick(f.dialog.get(), Qt::LeftButton, Qt::NoModifier, QPoint(300, 130));
    QCOMPARE(f.ok()->text(), QStringLiteral("确定"));
    QCOMPARE(f.spy->count(), 0);
}

void tst_Crashui::progressCycle()
{
    Fixture f;
    QVERIFY(QMetaObject::invokeMethod(f.dialog.get(), "slot_sendMail"));
    QList<int> seen;
    for (int i = 0; i < 7; ++i) {
        QVERIFY(QMetaObject::invokeMethod(f.dialog.get(), "slot_Timer"));
        seen << f.progress()->value();
    }
    QCOMPARE(seen, (QList<int>{20, 40, 60, 80, 0, 20, 40}));
}

void tst_Crashui::failureBoxBeforeSaving()
{
    Fixture f;
    f.dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.dialog.get()));
    QTest::mouseClick(f.restartBox(), Qt::LeftButton, Qt::NoModifier, QPoint(5, 8));
    QByteArray iniWhileShown = "not shown";
    ModalBoxAnswerer answerer([&](QMessageBox*) { iniWhileShown = f.ini(); });
    QVERIFY(QMetaObject::invokeMethod(f.dialog.get(), "slot_mailSended", Q_ARG(bool, false)));
    QVERIFY(answerer.answered);
    QCOMPARE(answerer.title, QStringLiteral("错误"));
    QCOMPARE(answerer.text, QStringLiteral("邮件发送失败"));
    QCOMPARE(answerer.buttonCount, 1);
    QVERIFY(answerer.okOnly);
    QCOMPARE(iniWhileShown, QByteArray()); // nothing saved while the box was up
    QCOMPARE(f.ini(), QByteArray("[user]\nisRestart=0\nisSend=1\n"));
    QVERIFY(!f.dialog->isVisible());
}

void tst_Crashui::successSavesAndCloses()
{
    Fixture f("[user]\nisSend=2\n");
    f.dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.dialog.get()));
    QVERIFY(QMetaObject::invokeMethod(f.dialog.get(), "slot_mailSended", Q_ARG(bool, true)));
    QVERIFY(!QApplication::activeModalWidget());
    QCOMPARE(f.ini(), QByteArray("[user]\nisRestart=1\nisSend=0\n"));
    QVERIFY(!f.dialog->isVisible());
}

void tst_Crashui::cancelLeavesSettings()
{
    const QByteArray before("; kept as it is\n[user]\nisSend=1\nisRestart=0\n");
    Fixture f(before);
    f.dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.dialog.get()));
    QTest::mouseClick(f.cancel(), Qt::LeftButton);
    QVERIFY(!f.dialog->isVisible());
    QCOMPARE(f.spy->count(), 0);
    QCOMPARE(f.ini(), before);
}

void tst_Crashui::crashLoopGuard_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<int>("restartedSecondsAgo");
    QTest::addColumn<bool>("userTicks");
    QTest::addColumn<bool>("checked");
    QTest::addColumn<QByteArray>("saved");
    // A host that crashes at start looped through dialog, restart and crash every ten seconds.
    QTest::newRow("restarted 30 s ago") << QByteArray() << 30 << false << false << QByteArray("isRestart=1");
    QTest::newRow("restarted 90 s ago") << QByteArray() << 90 << false << true << QByteArray("isRestart=1");
    QTest::newRow("never restarted") << QByteArray() << -1 << false << true << QByteArray("isRestart=1");
    QTest::newRow("restart not chosen anyway") << QByteArray("[user]\nisRestart=0\n") << 30 << false << false
                                               << QByteArray("isRestart=0");
    QTest::newRow("the user ticks it again") << QByteArray() << 30 << true << true << QByteArray("isRestart=1");
}

void tst_Crashui::crashLoopGuard()
{
    QFETCH(QByteArray, ini);
    QFETCH(int, restartedSecondsAgo);
    QFETCH(bool, userTicks);
    QFETCH(bool, checked);
    QFETCH(QByteArray, saved);
    Fixture f(ini, QStringLiteral("HostApp"), restartedSecondsAgo);
    f.dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.dialog.get()));
    QVERIFY(f.countdownTimer()->isActive()); // the guard's change is not the user's
    if (userTicks)
        QTest::mouseClick(f.restartBox(), Qt::LeftButton, Qt::NoModifier, QPoint(5, 8));
    QCOMPARE(f.restartBox()->isChecked(), checked);
    QVERIFY(QMetaObject::invokeMethod(f.dialog.get(), "slot_mailSended", Q_ARG(bool, true)));
    // Only a change the user makes is remembered.
    QVERIFY2(f.ini().contains(saved), f.ini().constData());
}

void tst_Crashui::failureBoxDetails_data()
{
    // The box's main text never said that the report was kept, and Qt's own buttons stayed
    // English in a Chinese box.
    QTest::addColumn<QString>("language");
    QTest::addColumn<bool>("kept");
    QTest::addColumn<bool>("whenOnline");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("informative");
    QTest::addColumn<QStringList>("buttons");
    QTest::newRow("kept") << "zh-CN" << true << false << "错误"
                          << "邮件发送失败"
                          << "报告已保留，将在下一份报告发送成功时一并发送。" << QStringList{"显示详情...", "确定"};
    QTest::newRow("not kept") << "zh-CN" << false << false << "错误"
                              << "邮件发送失败"
                              << "报告未能保留，转储文件仍在原处。" << QStringList{"显示详情...", "确定"};
    QTest::newRow("zh-TW") << "zh-TW" << true << false << "錯誤"
                           << "錯誤報告傳送失敗。"
                           << "報告已保留，將在下一份報告傳送成功時一併傳送。" << QStringList{"確定", "顯示詳情..."};
    QTest::newRow("en") << "en" << true << false << "Error"
                        << "The error report could not be sent."
                        << "The report is kept and will be sent with the next report that gets through."
                        << QStringList{"OK", "Show Details..."};
    // A report kept after a network failure also goes when the machine is online again.
    QTest::newRow("kept, online") << "zh-CN" << true << true << "错误"
                                  << "邮件发送失败"
                                  << "报告已保留，将在网络恢复或下一份报告发送成功时发送。"
                                  << QStringList{"显示详情...", "确定"};
    QTest::newRow("en, online") << "en" << true << true << "Error"
                                << "The error report could not be sent."
                                << "The report is kept and will be sent as soon as the machine is online again, or "
                                   "with the next report that gets through."
                                << QStringList{"OK", "Show Details..."};
}

void tst_Crashui::failureBoxDetails()
{
    QFETCH(QString, language);
    QFETCH(bool, kept);
    QFETCH(bool, whenOnline);
    QFETCH(QString, title);
    QFETCH(QString, text);
    QFETCH(QString, informative);
    QFETCH(QStringList, buttons);
    Lumo::installTranslation({language});
    const auto restore = qScopeGuard([] { Lumo::installTranslation({QStringLiteral("zh-CN")}); });
    DispatchOutcome outcome;
    const QString reason =
        QStringLiteral("login refused by smtp.example.org:587: 535 5.7.8 Authentication credentials invalid");
    outcome.setFailure(reason, kept, whenOnline);
    Fixture f;
    f.dialog->setOutcome(&outcome);
    f.dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.dialog.get()));
    QVERIFY(QMetaObject::invokeMethod(f.dialog.get(), "slot_sendMail"));
    QString shownInformative;
    QStringList shownButtons;
    ModalBoxAnswerer answerer([&](QMessageBox* box) {
        shownInformative = box->informativeText();
        for (auto* button : box->findChildren<QPushButton*>())
            shownButtons << button->text().remove(QLatin1Char('&'));
    });
    QVERIFY(QMetaObject::invokeMethod(f.dialog.get(), "slot_mailSended", Q_ARG(bool, false)));
    QVERIFY(answerer.answered);
    QCOMPARE(answerer.title, title);
    QCOMPARE(answerer.text, text);
    QVERIFY(answerer.okOnly); // one OK; Qt adds its own details toggle
    QCOMPARE(shownInformative, informative);
    shownButtons.sort();
    QCOMPARE(shownButtons, buttons);
    QCOMPARE(answerer.detailedText, reason); // the technical reason, as the server gave it
}

void tst_Crashui::closedWhileSending_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("success");
    // Cancel while sending hid the window; a failure afterwards reached nobody and the choices
    // were not saved.
    QTest::newRow("Cancel, failure") << "cancel" << false;
    QTest::newRow("Cancel, success") << "cancel" << true;
    QTest::newRow("window manager close, failure") << "close" << false;
    QTest::newRow("Escape, failure") << "escape" << false;
}

void tst_Crashui::closedWhileSending()
{
    QFETCH(QString, how);
    QFETCH(bool, success);
    Fixture f("[user]\nisSend=1\nisRestart=1\n");
    f.dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.dialog.get()));
    QTest::mouseClick(f.restartBox(), Qt::LeftButton, Qt::NoModifier, QPoint(5, 8));
    QVERIFY(QMetaObject::invokeMethod(f.dialog.get(), "slot_sendMail"));
    QSignalSpy lastWindow(qApp, &QGuiApplication::lastWindowClosed);
    if (how == "cancel")
        QTest::mouseClick(f.cancel(), Qt::LeftButton);
    else if (how == "close")
        f.dialog->close();
    else
        QTest::keyClick(f.dialog.get(), Qt::Key_Escape);
    QVERIFY(!f.dialog->isVisible());
    QCOMPARE(lastWindow.count(), 0); // the program goes on until the dispatch ends
    QCOMPARE(f.ini(), QByteArray("[user]\nisSend=1\nisRestart=1\n"));

    ModalBoxAnswerer answerer;
    QTest::ignoreMessage(QtWarningMsg, success ? "crashui: the crash report was sent"
                                               : "crashui: the crash report could not be sent");
    QVERIFY(QMetaObject::invokeMethod(f.dialog.get(), "slot_mailSended", Q_ARG(bool, success)));
    QVERIFY(!answerer.answered); // nobody to show a box to
    QCOMPARE(f.ini(), QByteArray("[user]\nisRestart=0\nisSend=1\n"));
}

void tst_Crashui::realTimerConfirms()
{
    Fixture f;
    f.dialog->show();
    QTRY_COMPARE_WITH_TIMEOUT(f.spy->count(), 1, 30000);
    QCOMPARE(f.ok()->text(), QStringLiteral("确定 (0s)"));
    NextTick next(f.countdownTimer());
    QTRY_VERIFY_WITH_TIMEOUT(next.passed, 30000);
    QCOMPARE(f.spy->count(), 1);
}

void tst_Crashui::unusualSettingsFiles_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("send");
    QTest::newRow("directory") << "directory" << true;
    QTest::newRow("pipe") << "fifo" << true;
    QTest::newRow("10 MB") << "huge" << false;
    QTest::newRow("binary garbage") << "garbage" << true;
}

void tst_Crashui::unusualSettingsFiles()
{
    QFETCH(QString, kind);
    QFETCH(bool, send);
    QTemporaryDir root;
    QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("dumps"))));
    const QString ini = root.filePath(QStringLiteral("dumps/crashui.ini"));
    if (kind == "directory") {
        QVERIFY(QDir().mkdir(ini));
    } else if (kind == "fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(ini).constData(), 0644), 0);
    } else {
        QFile file(ini);
        QVERIFY(file.open(QIODevice::WriteOnly));
        if (kind == "huge") {
            const QByteArray junk = QByteArray("noise=") + QByteArray(94, 'z') + '\n';
            for (int i = 0; i < 100 * 1024; ++i)
                file.write(junk);
            file.write("[user]\nisSend=0\n");
        } else {
            QByteArray garbage(4096, '\0');
            for (int i = 0; i < garbage.size(); ++i)
                garbage[i] = static_cast<char>(i * 151);
            file.write(garbage);
        }
    }
    crashui dialog(root.path().toUtf8(), QStringLiteral("T"), nullptr, Qt::WindowFlags());
    auto boxes = dialog.findChildren<QCheckBox*>();
    QCOMPARE(boxes.size(), 2);
    for (QCheckBox* box : boxes)
        QCOMPARE(box->isChecked(), box->text() == QStringLiteral("发送错误报告") ? send : true);
    dialog.show();
    QVERIFY(QMetaObject::invokeMethod(&dialog, "slot_mailSended", Q_ARG(bool, true)));
    QVERIFY(!dialog.isVisible());
    const QFileInfo after(ini);
    if (kind == "directory")
        QVERIFY(after.isDir());
    else if (kind == "fifo")
        QVERIFY(!after.isFile() && after.exists());
    else
        QVERIFY(after.isFile());
}

QTEST_MAIN(tst_Crashui)
#include "tst_crashui.moc"

void tst_Crashui::countdownSetting_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("seconds"); // 0: no countdown
    QTest::addColumn<QByteArray>("warning");
    QTest::newRow("unset: 10") << QByteArray() << 10 << QByteArray();
    QTest::newRow("3") << QByteArray("3") << 3 << QByteArray();
    QTest::newRow("0: only a click sends") << QByteArray("0") << 0 << QByteArray();
    QTest::newRow("invalid: said, 10") << QByteArray("ten") << 10
                                       << QByteArray("crashui: invalid CRASHUI_COUNTDOWN_SECONDS \"ten\" (0 to 86400); 10 applies");
    QTest::newRow("negative: said, 10") << QByteArray("-1") << 10
                                        << QByteArray("crashui: invalid CRASHUI_COUNTDOWN_SECONDS \"-1\" (0 to 86400); 10 applies");
}

void tst_Crashui::countdownSetting()
{
    QFETCH(QByteArray, value);
    QFETCH(int, seconds);
    QFETCH(QByteArray, warning);
    const ScopedEnv env("CRASHUI_COUNTDOWN_SECONDS", value);
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, warning.constData());
    Fixture f;
    QCOMPARE(f.ok()->text(), seconds ? QStringLiteral("确定 (%1s)").arg(seconds) : QStringLiteral("确定"));
    QCOMPARE(f.countdownTimer()->isActive(), seconds > 0);
    // The time passes (the timer moved by hand, well past any countdown).
    f.tick(seconds ? seconds : 30);
    QCOMPARE(f.spy->count(), seconds ? 1 : 0);
    if (seconds)
        return;
    QCOMPARE(f.ok()->text(), QStringLiteral("确定"));
    QTest::mouseClick(f.ok(), Qt::LeftButton);
    QCOMPARE(f.spy->count(), 1);
}
