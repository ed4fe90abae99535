#include "report/fileidentity.h"

#include <QFile>

#include <sys/stat.h>

bool FileIdentity::operator==(const FileIdentity& other) const
{
    return valid && other.valid && device == other.device && inode == other.inode && size == other.size &&
           mtimeNs == other.mtimeNs;
}

FileIdentity FileIdentity::of(const QString& path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return FileIdentity();
    return of(info);
}

FileIdentity FileIdentity::of(const struct stat& info)
{
    FileIdentity identity;
    identity.valid = S_ISREG(info.st_mode);
    identity.device = static_cast<std::uint64_t>(info.st_dev);
    identity.inode = static_cast<std::uint64_t>(info.st_ino);
    identity.size = static_cast<std::int64_t>(info.st_size);
    identity.mtimeNs = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return identity;
}
