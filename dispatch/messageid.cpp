#include "dispatch/messageid.h"

#include <QRandomGenerator>
#include <QRegularExpression>

QString randomLetters(int length)
{
    static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    QString text;
    for (int i = 0; i < length; ++i)
        text += QLatin1Char(kAlphabet[QRandomGenerator::system()->bounded(36)]);
    return text;
}

bool isValidMessageId(const QString& messageId)
{
    static const QString atext = QStringLiteral("[A-Za-z0-9!#$%&'*+/=?^_`{|}~-]+");
    static const QRegularExpression pattern(
        QStringLiteral("^<%1(\\.%1)*@(%1(\\.%1)*|\\[[\\x21-\\x5a\\x5e-\\x7e]*\\])>$").arg(atext));
    return messageId.size() <= 250 && pattern.match(messageId).hasMatch();
}

QString newMessageId(const QString& mailbox, const QDateTime& now)
{
    const int at = mailbox.lastIndexOf(QLatin1Char('@'));
    QString domain = at >= 0 ? mailbox.mid(at + 1) : QString();
    // Only what RFC 5322 allows in a dot-atom; anything else would break the header.
    static const QRegularExpression allowed(QStringLiteral("^[A-Za-z0-9.-]+$"));
    if (!allowed.match(domain).hasMatch())
        domain = QStringLiteral("crashui.invalid");
    return QStringLiteral("<crashui.%1.%2@%3>").arg(now.toMSecsSinceEpoch()).arg(randomLetters(16), domain);
}
