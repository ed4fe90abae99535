#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Reads an archive back with real ZIP readers, entry by entry: Python's zipfile, "unzip -t",
// 7-Zip's "7zz t" and libarchive's "bsdtar -tf".
struct ArchiveEntry {
    QString name;
    qint64 size = 0;
    QByteArray sha256; // hex
};

struct ArchiveCheck {
    bool readable = false;  // zipfile opened it and every CRC matched
    bool unzipOk = false;   // "unzip -t" found no error
    bool sevenZipOk = false; // "7zz t" found no error
    bool bsdtarOk = false;  // "bsdtar -tf" listed it
    bool allReadersOk() const { return readable && unzipOk && sevenZipOk && bsdtarOk; }
    QList<ArchiveEntry> entries;

    static ArchiveCheck of(const QString& path);
    static QByteArray sha256Of(const QString& filePath);
    QStringList names() const;
};
