#include "platform/codecs.h"
#include "platform/singleton.h"
#include "platform/uiresource.h"

#include <QTextCodec>
#include <QtTest>

class tst_ThemeAndCodec : public QObject {
    Q_OBJECT
private slots:
    void colors();
    void codecKeepsEveryCharacter();
    void fileNamesKeepSystemEncoding();
};

void tst_ThemeAndCodec::colors()
{
    const Lumo::CUiResource* theme = utils::CSingletonT<Lumo::CUiResource>::instance();
    QCOMPARE(theme, utils::CSingletonT<Lumo::CUiResource>::instance());
    const QColor* known = theme->getColor(QStringLiteral("white"));
    QVERIFY(known);
    QCOMPARE(*known, QColor(255, 255, 255));
    for (const QString& key : {QString(), QStringLiteral("no such key"), QStringLiteral("WHITE")}) {
        const QColor* color = theme->getColor(key);
        QVERIFY(color);
        QVERIFY(color->isValid());
        QCOMPARE(*color, Lumo::CUiResource::defaultColor());
    }
}

void tst_ThemeAndCodec::codecKeepsEveryCharacter()
{
    QTextCodec* codec = Lumo::getCodecs();
    QVERIFY(codec);
    // GB2312 text stays GB2312 bytes; characters beyond it (emoji, rare ideographs) survive too.
    QCOMPARE(codec->fromUnicode(QStringLiteral("中")), QByteArray("\xd6\xd0"));
    const QString text = QStringLiteral("崩溃 😀 𠀀 é ñ");
    QCOMPARE(codec->toUnicode(codec->fromUnicode(text)), text);
    QCOMPARE(Lumo::mailCodec(), codec);
}

void tst_ThemeAndCodec::fileNamesKeepSystemEncoding()
{
    QTextCodec* before = QTextCodec::codecForLocale();
    Lumo::installCodec(Lumo::getCodecs());
    QCOMPARE(Lumo::mailCodec()->name(), QByteArray("GB18030"));
#ifndef Q_OS_WIN
    QCOMPARE(QTextCodec::codecForLocale(), before);
#endif
}

QTEST_GUILESS_MAIN(tst_ThemeAndCodec)
#include "tst_themeandcodec.moc"
