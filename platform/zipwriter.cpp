#include "platform/zipwriter.h"

#include <QFile>
#include <QFileInfo>
#include <QString>

#include <zip.h>


struct HZIP__ {
    zip_t* archive = nullptr;
};

namespace {

// Same level as "zip -6": the usual balance of speed and size.
constexpr zip_uint32_t kDeflateLevel = 6;

QString fromWide(const wchar_t* text)
{
    return text ? QString::fromWCharArray(text) : QString();
}

} // namespace

HZIP CreateZip(const wchar_t* path, const char* /*password: reports are not encrypted*/)
{
    const QString target = fromWide(path);
    if (target.isEmpty() || QFileInfo(target).isDir())
        return nullptr;
    int error = 0;
    zip_t* archive = zip_open(QFile::encodeName(target).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!archive)
        return nullptr;
    auto* handle = new HZIP__;
    handle->archive = archive;
    return handle;
}

ZRESULT ZipAdd(HZIP zip, const wchar_t* nameInZip, const wchar_t* sourcePath)
{
    if (!zip || !zip->archive || !nameInZip || !sourcePath)
        return ZR_ARGS;
    const QString name = fromWide(nameInZip);
    const QString source = fromWide(sourcePath);
    if (name.isEmpty())
        return ZR_ARGS;
    // The archive library reads the source only when the archive is closed; make sure now that
    // it is a readable file, so that a bad source leaves the archive as it was.
    QFile probe(source);
    if (!QFileInfo(source).isFile() || !probe.open(QIODevice::ReadOnly))
        return ZR_NOTFOUND;
    probe.close();

    zip_source_t* src = zip_source_file(zip->archive, QFile::encodeName(source).constData(), 0, -1);
    if (!src)
        return ZR_NOTFOUND;
    const QByteArray utf8Name = name.toUtf8();
    const zip_int64_t index = zip_file_add(zip->archive, utf8Name.constData(), src, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
    if (index < 0) {
        zip_source_free(src);
        return ZR_FAILED;
    }
    const auto entry = static_cast<zip_uint64_t>(index);
    if (zip_set_file_compression(zip->archive, entry, ZIP_CM_DEFLATE, kDeflateLevel) < 0)
        return ZR_FAILED;
    return ZR_OK;
}

ZRESULT CloseZipZ(HZIP zip)
{
    if (!zip)
        return ZR_ARGS;
    ZRESULT result = ZR_OK;
    if (zip->archive && zip_close(zip->archive) < 0) {
        zip_discard(zip->archive); // removes the temporary file; the target stays as it was
        result = ZR_WRITE;
    }
    delete zip;
    return result;
}

void DiscardZip(HZIP zip)
{
    if (!zip)
        return;
    if (zip->archive)
        zip_discard(zip->archive);
    delete zip;
}
