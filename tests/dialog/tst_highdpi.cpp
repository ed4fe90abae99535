// The fixed 418 x 310 dialog on scaled screens: the size Qt 5 gives it, under Qt 5 and Qt 6 alike.
// Each DPI needs a fresh process (the scale is fixed when the application starts): the probe.

#include <QCoreApplication>
#include <QProcess>
#include <QtTest>

class tst_HighDpi : public QObject {
    Q_OBJECT
private slots:
    void dialogSize_data();
    void dialogSize();
};

void tst_HighDpi::dialogSize_data()
{
    QTest::addColumn<QByteArray>("dpi");
    QTest::addColumn<QByteArray>("size");
    // Qt 6 without a whole-number scale gave 523x388 at 120 dpi and 627x465 at 144 dpi.
    QTest::newRow("96 dpi") << QByteArray("96") << QByteArray("418x310");
    QTest::newRow("120 dpi") << QByteArray("120") << QByteArray("418x310");
    QTest::newRow("144 dpi") << QByteArray("144") << QByteArray("836x620");
}

void tst_HighDpi::dialogSize()
{
    QFETCH(QByteArray, dpi);
    QFETCH(QByteArray, size);
    QProcess probe;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_FONT_DPI"), QString::fromLatin1(dpi));
    probe.setProcessEnvironment(env);
    probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    probe.start(QCoreApplication::applicationDirPath() + QStringLiteral("/crashui_dpiprobe"), QStringList());
    QVERIFY2(probe.waitForFinished(30000), qPrintable(probe.errorString()));
    QCOMPARE(probe.exitCode(), 0);
    QCOMPARE(probe.readAllStandardOutput().trimmed(), size);
}

QTEST_GUILESS_MAIN(tst_HighDpi)
#include "tst_highdpi.moc"
