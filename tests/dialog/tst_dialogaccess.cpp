// The dialog in the user's language, from the keyboard and for screen readers: the translations
// fit their rectangles, the tab chain and the keys, and what assistive technology is told.

#include "dialog/crashui.h"
#include "dialog/translation.h"
#include "platform/simpletextwidget.h"
#include "tests/tools/testhost.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QFontMetrics>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

std::unique_ptr<crashui> makeDialog(const QTemporaryDir& root, const QString& title = QStringLiteral("MyApp"))
{
    QDir().mkpath(root.filePath(QStringLiteral("dumps")));
    return std::make_unique<crashui>(root.path().toUtf8(), title, nullptr, Qt::WindowFlags());
}

// The builder's text widgets: the apology (id 1) and the question (id 2), in building order.
QList<Lumo::CSimpleTextWidget*> textWidgets(const crashui& dialog)
{
    QList<Lumo::CSimpleTextWidget*> texts;
    for (auto* widget : dialog.findChildren<QWidget*>()) {
        if (auto* text = dynamic_cast<Lumo::CSimpleTextWidget*>(widget))
            texts << text;
    }
    return texts;
}

// What reached assistive technology: the events past the dialog's own handling, as
// (object name, event type).
QList<QPair<QString, QAccessible::Event>> announced;

void recordAnnouncement(QAccessibleEvent* event)
{
    announced << qMakePair(event->object() ? event->object()->objectName() : QString(), event->type());
}

QString accessibleText(QObject* object, QAccessible::Text kind)
{
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(object);
    return face ? face->text(kind) : QStringLiteral("<no interface>");
}

} // namespace

class tst_DialogAccess : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void languages_data();
    void languages();
    void systemLanguages_data();
    void systemLanguages();
    void keyboard();
    void keysStopTheCountdown_data();
    void keysStopTheCountdown();
    void screenReader();
};

void tst_DialogAccess::initTestCase()
{
    qRegisterMetaType<Message>("Message");
    // Accessibility on, as with a screen reader running: events are made and interfaces cached.
    // The recorder stands where the platform would be, behind the dialog's own handling.
    QAccessible::installUpdateHandler(recordAnnouncement);
    QAccessible::setActive(true);
    // The X11 desktop's default font, which a user without desktop settings sees.
    QApplication::setFont(QFont(QStringLiteral("Sans Serif"), 9));
}

void tst_DialogAccess::cleanup()
{
    Lumo::installTranslation({QStringLiteral("zh-CN")});
    QTRY_VERIFY(QApplication::topLevelWidgets().isEmpty());
}

void tst_DialogAccess::languages_data()
{
    QTest::addColumn<QStringList>("uiLanguages");
    QTest::addColumn<QString>("translation");
    QTest::addColumn<QString>("sendBox");
    QTest::addColumn<QString>("apologyEnd");
    QTest::newRow("en-US") << QStringList{"en-US"} << "en" << "Send error report" << "to help us improve MyApp.";
    QTest::newRow("zh-TW") << QStringList{"zh-TW"} << "zh_TW" << "傳送錯誤報告" << "協助我們改善MyApp的品質。";
    QTest::newRow("zh-Hant-HK") << QStringList{"zh-Hant-HK"} << "zh_TW" << "傳送錯誤報告" << "的品質。";
    QTest::newRow("fr then en") << QStringList{"fr-FR", "en-GB"} << "en" << "Send error report" << "MyApp.";
    // A Chinese system sees exactly what it saw; a language crashui does not speak too.
    QTest::newRow("zh-CN") << QStringList{"zh-CN", "en-US"} << "" << "发送错误报告" << "以帮助改善的质量。";
    // A user who reads no Chinese got Simplified Chinese, in boxes without a CJK font.
    QTest::newRow("de only") << QStringList{"de-DE"} << "en"
                             << "Send error report"
                             << "MyApp.";
    QTest::newRow("ja then zh-CN") << QStringList{"ja-JP", "zh-CN"} << "en"
                                   << "Send error report"
                                   << "MyApp.";
    QTest::newRow("zh_MO") << QStringList{"zh_MO"} << "zh_TW"
                           << "傳送錯誤報告"
                           << "的品質。";
    QTest::newRow("C, then nothing") << QStringList{"C"} << ""
                                     << "发送错误报告"
                                     << "以帮助改善的质量。";
}

void tst_DialogAccess::systemLanguages_data()
{
    QTest::addColumn<QByteArray>("language");
    QTest::addColumn<QByteArray>("lcAll");
    QTest::addColumn<QByteArray>("lcMessages");
    QTest::addColumn<QByteArray>("lang");
    QTest::addColumn<QString>("translation");
    QTest::newRow("C.UTF-8") << QByteArray() << QByteArray() << QByteArray() << QByteArray("C.UTF-8") << "";
    QTest::newRow("POSIX") << QByteArray() << QByteArray("POSIX") << QByteArray() << QByteArray("de_DE.UTF-8") << "";
    QTest::newRow("fr_FR") << QByteArray() << QByteArray() << QByteArray() << QByteArray("fr_FR.UTF-8") << "en";
    QTest::newRow("zh_HK messages") << QByteArray() << QByteArray() << QByteArray("zh_HK.UTF-8")
                                    << QByteArray("fr_FR.UTF-8") << "zh_TW";
    QTest::newRow("LANGUAGE first") << QByteArray("zh_TW:en") << QByteArray() << QByteArray()
                                    << QByteArray("en_US.UTF-8") << "zh_TW";
    QTest::newRow("LANGUAGE in C") << QByteArray("de") << QByteArray() << QByteArray() << QByteArray("C") << "en";
}

void tst_DialogAccess::systemLanguages()
{
    QFETCH(QByteArray, language);
    QFETCH(QByteArray, lcAll);
    QFETCH(QByteArray, lcMessages);
    QFETCH(QByteArray, lang);
    QFETCH(QString, translation);
    ScopedEnv env;
    const QList<QPair<const char*, QByteArray>> values{
        {"LANGUAGE", language}, {"LC_ALL", lcAll}, {"LC_MESSAGES", lcMessages}, {"LANG", lang}};
    for (const auto& value : values) {
        if (value.second.isEmpty())
            env.unset(value.first);
        else
            env.set(value.first, value.second);
    }
    QCOMPARE(Lumo::installTranslation(Lumo::systemUiLanguages()), translation);
}

void tst_DialogAccess::languages()
{
    QFETCH(QStringList, uiLanguages);
    QFETCH(QString, translation);
    QFETCH(QString, sendBox);
    QFETCH(QString, apologyEnd);
    QCOMPARE(Lumo::installTranslation(uiLanguages), translation);
    QTemporaryDir root;
    const auto dialog = makeDialog(root);
    auto* send = dialog->findChild<QCheckBox*>(QStringLiteral("sendBox"));
    QCOMPARE(send->text(), sendBox);
    const QList<Lumo::CSimpleTextWidget*> texts = textWidgets(*dialog);
    QCOMPARE(texts.size(), 2);
    QVERIFY2(texts.at(0)->text().endsWith(apologyEnd), qPrintable(texts.at(0)->text()));
    QCOMPARE(dialog->size(), QSize(418, 310));

    // Every text fits its rectangle at the default font, nothing shrunk or cut.
    for (auto* box : dialog->findChildren<QCheckBox*>())
        QVERIFY2(box->sizeHint().width() <= box->width(), qPrintable(box->text()));
    for (auto* button : dialog->findChildren<QPushButton*>()) {
        const int needed = button->fontMetrics().horizontalAdvance(button->text()) + 12;
        QVERIFY2(needed <= button->width(), qPrintable(button->text()));
    }
    if (!translation.isEmpty()) {
        for (auto* text : texts)
            QVERIFY2(text->fittingFont() == text->font(), qPrintable(text->text()));
    }
    // Widened to the right only: every widget keeps its place.
    QCOMPARE(send->pos(), QPoint(20, 99));
    QCOMPARE(dialog->findChild<QCheckBox*>(QStringLiteral("restartBox"))->pos(), QPoint(20, 119));
    QCOMPARE(texts.at(1)->pos(), QPoint(20, 149));
    QVERIFY(texts.at(1)->geometry().right() <= 380);
}

void tst_DialogAccess::keyboard()
{
    QTemporaryDir root;
    const auto dialog = makeDialog(root);
    QSignalSpy confirmed(dialog.get(), &crashui::sig_crashInfo);
    dialog->show();
    QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
    auto* send = dialog->findChild<QCheckBox*>(QStringLiteral("sendBox"));
    send->setFocus();
    // The tab chain, round and back to the start.
    QStringList chain;
    for (int i = 0; i < 6; ++i) {
        chain << QApplication::focusWidget()->objectName();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    QCOMPARE(chain, (QStringList{"sendBox", "restartBox", "textEdit", "okButton", "cancelButton", "sendBox"}));
    QCOMPARE(confirmed.count(), 0);
    // Space toggles a box; Return on OK confirms.
    QTest::keyClick(send, Qt::Key_Space);
    QVERIFY(!send->isChecked());
    auto* ok = dialog->findChild<QPushButton*>(QStringLiteral("okButton"));
    ok->setFocus();
    QTest::keyClick(ok, Qt::Key_Return);
    QCOMPARE(confirmed.count(), 1);
    QVERIFY(!confirmed.first().first().value<Message>().isSend);
}

void tst_DialogAccess::keysStopTheCountdown_data()
{
    QTest::addColumn<int>("key");
    QTest::newRow("Tab") << int(Qt::Key_Tab);
    QTest::newRow("an arrow") << int(Qt::Key_Down);
    QTest::newRow("Shift") << int(Qt::Key_Shift);
    QTest::newRow("Escape closes") << int(Qt::Key_Escape);
}

void tst_DialogAccess::keysStopTheCountdown()
{
    QFETCH(int, key);
    QTemporaryDir root;
    const auto dialog = makeDialog(root);
    dialog->show();
    QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
    dialog->findChild<QCheckBox*>(QStringLiteral("sendBox"))->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
    // The user who presses keys is reading: the timer must not run out under them.
    QVERIFY(!dialog->findChild<QTimer*>(QStringLiteral("countdownTimer"))->isActive());
    QCOMPARE(dialog->isVisible(), key != Qt::Key_Escape);
    if (key == Qt::Key_Escape) // as Cancel: nothing saved
        QVERIFY(!QFile::exists(root.filePath(QStringLiteral("dumps/crashui.ini"))));
}

void tst_DialogAccess::screenReader()
{
    QTemporaryDir root;
    const auto dialog = makeDialog(root);
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
    const QList<Lumo::CSimpleTextWidget*> texts = textWidgets(*dialog);
    QAccessibleInterface* apology = QAccessible::queryAccessibleInterface(texts.at(0));
    QVERIFY(apology);
    QCOMPARE(apology->role(), QAccessible::StaticText);
    QCOMPARE(apology->text(QAccessible::Name), QStringLiteral("出现错误"));
    // The words themselves through the text interface, as screen readers read static text.
    QVERIFY(apology->textInterface());
    QCOMPARE(apology->textInterface()->text(0, apology->textInterface()->characterCount()), texts.at(0)->text());
    QCOMPARE(accessibleText(texts.at(1), QAccessible::Name), QStringLiteral("这个问题是如何出现的？"));
    QAccessibleInterface* question = QAccessible::queryAccessibleInterface(texts.at(1));
    QCOMPARE(question->role(), QAccessible::StaticText);
    QCOMPARE(question->textInterface()->text(0, 3), QStringLiteral("这个问"));
    // Said once, for the whole dialog.
    QCOMPARE(accessibleText(dialog.get(), QAccessible::Description),
             QStringLiteral("如不按任何键，此对话框将在 10 秒后自动确定。"));

    const struct {
        const char* object;
        QAccessible::Role role;
        QString name;
    } controls[] = {
        {"sendBox", QAccessible::CheckBox, QStringLiteral("发送错误报告")},
        {"restartBox", QAccessible::CheckBox, QStringLiteral("重启程序")},
        {"textEdit", QAccessible::EditableText, QStringLiteral("这个问题是如何出现的？")},
        {"okButton", QAccessible::Button, QStringLiteral("确定")},
        {"cancelButton", QAccessible::Button, QStringLiteral("取消")},
        {"progressBar", QAccessible::ProgressBar, QStringLiteral("正在发送错误报告")},
        {"warningSign", QAccessible::Graphic, QStringLiteral("警告")},
    };
    for (const auto& control : controls) {
        QWidget* widget = dialog->findChild<QWidget*>(QString::fromLatin1(control.object));
        QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
        QVERIFY2(face, control.object);
        QCOMPARE(face->role(), control.role);
        QCOMPARE(face->text(QAccessible::Name), control.name);
    }
    QVERIFY(QAccessible::queryAccessibleInterface(dialog->findChild<QCheckBox*>(QStringLiteral("sendBox")))->state().checked);

    // The countdown button keeps its name, and a tick announces nothing: a screen reader read
    // the button out again every second.
    QObject* ok = dialog->findChild<QPushButton*>(QStringLiteral("okButton"));
    announced.clear();
    QVERIFY(QMetaObject::invokeMethod(dialog.get(), "slot_Timeout"));
    QCOMPARE(accessibleText(ok, QAccessible::Name), QStringLiteral("确定"));
    QCOMPARE(ok->property("text").toString(), QStringLiteral("确定 (9s)"));
    for (const auto& event : announced)
        QVERIFY2(event.first != QLatin1String("okButton"), qPrintable(QString::number(event.second, 16)));
}

QTEST_MAIN(tst_DialogAccess)
#include "tst_dialogaccess.moc"
