#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Reads an archive back with real ZIP readers (Python's zipfile and "unzip -t"), entry by entry.
struct ArchiveEntry {
    QString name;
    qint64 size = 0;
    QByteArray sha256; // hex
};

struct ArchiveCheck {
    bool readable = false;  // zipfile opened it and every CRC matched
    bool unzipOk = false;   // "unzip -t" found no error
    QList<ArchiveEntry> entries;

    static ArchiveCheck of(const QString& path);
    static QByteArray sha256Of(const QString& filePath);
    QStringList names() const;
};
