#include "testhost.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

QString writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
    return path;
}

void pointMailAt(quint16 port, const QByteArray& host)
{
    qputenv("CRASHUI_SMTP_HOST", host);
    qputenv("CRASHUI_SMTP_PORT", QByteArray::number(port));
    qputenv("CRASHUI_MAILBOX", "bug@example.com");
    qputenv("CRASHUI_SMTP_PASSWORD", "Err.submit7");
}
