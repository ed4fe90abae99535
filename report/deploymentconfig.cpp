#include "report/deploymentconfig.h"

#include "report/deploymentbuild.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtGlobal>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A configuration file is a few lines; anything larger is not one.
constexpr qint64 kMaxFileBytes = 64 * 1024;

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Closes a descriptor on every path.
struct Fd {
    int fd;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

DeploymentConfig::DeploymentConfig(const QString& filePath, bool environmentOverrides)
    : m_path(filePath), m_environmentOverrides(environmentOverrides)
{
    read();
    if (!m_error.isEmpty())
        m_values.clear(); // half a configuration would be a guess
}

const QStringList& DeploymentConfig::knownKeys()
{
    static const QStringList keys{
        QStringLiteral("CRASHUI_SMTP_HOST"),
        QStringLiteral("CRASHUI_SMTP_PORT"),
        QStringLiteral("CRASHUI_MAILBOX"),
        QStringLiteral("CRASHUI_SMTP_PASSWORD"),
        QStringLiteral("CRASHUI_SMTP_USER"),
        QStringLiteral("CRASHUI_SMTP_AUTH"),
        QStringLiteral("CRASHUI_MAIL_FROM"),
        QStringLiteral("CRASHUI_MAIL_TO"),
        QStringLiteral("CRASHUI_SMTP_TIMEOUT"),
        QStringLiteral("CRASHUI_SMTP_SECURITY"),
        QStringLiteral("CRASHUI_SMTP_CAFILE"),
        QStringLiteral("CRASHUI_PENDING_MAX_COUNT"),
        QStringLiteral("CRASHUI_PENDING_MAX_DAYS"),
        QStringLiteral("CRASHUI_PENDING_MAX_MIB"),
        QStringLiteral("CRASHUI_MAX_PARTS"),
        QStringLiteral("CRASHUI_MAX_REPORTS_PER_HOUR"),
        QStringLiteral("CRASHUI_RESTART_GUARD_SECONDS"),
        QStringLiteral("CRASHUI_RESTART_AFTER"),
        QStringLiteral("CRASHUI_RESEND_WHEN_ONLINE"),
        QStringLiteral("CRASHUI_SCRUB_LOGS"),
        QStringLiteral("CRASHUI_COUNTDOWN_SECONDS"),
    };
    return keys;
}

bool DeploymentConfig::isDestination(const QString& name)
{
    static const QStringList names{
        QStringLiteral("CRASHUI_SMTP_HOST"),     QStringLiteral("CRASHUI_SMTP_PORT"),
        QStringLiteral("CRASHUI_SMTP_SECURITY"), QStringLiteral("CRASHUI_SMTP_CAFILE"),
        QStringLiteral("CRASHUI_SMTP_AUTH"),     QStringLiteral("CRASHUI_SMTP_USER"),
        QStringLiteral("CRASHUI_SMTP_PASSWORD"), QStringLiteral("CRASHUI_MAILBOX"),
        QStringLiteral("CRASHUI_MAIL_FROM"),     QStringLiteral("CRASHUI_MAIL_TO"),
    };
    return names.contains(name);
}

const DeploymentConfig& DeploymentConfig::current()
{
    static const DeploymentConfig config(QString::fromUtf8(deploymentConfigFile()), deploymentEnvironmentOverrides());
    return config;
}

DeploymentConfig::Value DeploymentConfig::lookup(const char* name, const char* compiledIn) const
{
    const QString key = QString::fromLatin1(name);
    if (m_environmentOverrides || !isDestination(key)) {
        const QByteArray fromEnvironment = qgetenv(name);
        if (!fromEnvironment.isEmpty())
            return {QString::fromUtf8(fromEnvironment), QString()};
    }
    const auto fromFile = m_values.constFind(key);
    if (fromFile != m_values.cend())
        return *fromFile;
    return {QString::fromUtf8(compiledIn), QString()};
}

void DeploymentConfig::read()
{
    if (m_path.isEmpty())
        return;
    const QByteArray path = QFile::encodeName(m_path);
    struct stat link {};
    if (::lstat(path.constData(), &link) != 0) {
        if (errno != ENOENT)
            m_error = QStringLiteral("cannot read %1: %2").arg(m_path, systemError(errno));
        return;
    }
    // A file that was no link a moment ago must not be one now: a link put in its place in between
    // would escape the checks below.
    const int noFollow = S_ISLNK(link.st_mode) ? 0 : O_NOFOLLOW;
    const Fd file{::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | noFollow)};
    struct stat status {};
    if (file.fd < 0 || ::fstat(file.fd, &status) != 0) {
        m_error = QStringLiteral("cannot read %1: %2").arg(m_path, systemError(errno));
        return;
    }
    if (!S_ISREG(status.st_mode)) {
        m_error = QStringLiteral("cannot read %1: not a regular file").arg(m_path);
        return;
    }
    if (status.st_size > kMaxFileBytes) {
        m_error = QStringLiteral("cannot read %1: larger than %2 KiB").arg(m_path).arg(kMaxFileBytes / 1024);
        return;
    }
    QByteArray bytes(static_cast<int>(status.st_size) + 1, '\0');
    qint64 total = 0;
    for (;;) {
        const ssize_t n = ::read(file.fd, bytes.data() + total, static_cast<size_t>(bytes.size() - total));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            m_error = QStringLiteral("cannot read %1: %2").arg(m_path, systemError(errno));
            return;
        }
        if (n == 0)
            break;
        total += n;
        if (total >= bytes.size()) { // grew while being read
            m_error = QStringLiteral("cannot read %1: it changed while it was read").arg(m_path);
            return;
        }
    }
    bytes.truncate(static_cast<int>(total));
    parse(bytes);
    if (!m_error.isEmpty())
        return;
    // Whoever can change the file could send the password, or the mail with the compiled-in
    // password, anywhere: such values are taken only from a file that others cannot change.
    const QString why = unsafeBecause(S_ISLNK(link.st_mode), status.st_mode, QFileInfo(m_path).absolutePath());
    if (why.isEmpty())
        return;
    QStringList keys = knownKeys();
    keys.move(keys.indexOf(QStringLiteral("CRASHUI_SMTP_PASSWORD")), 0); // the one that matters most is named
    for (const QString& key : keys) {
        const auto value = m_values.constFind(key);
        if (value != m_values.cend() && isDestination(key)) {
            m_error = QStringLiteral("%1: %2 is not used: %3").arg(value->origin, key, why);
            return;
        }
    }
}

QString DeploymentConfig::unsafeBecause(bool isLink, unsigned mode, const QString& folder) const
{
    if (isLink)
        return QStringLiteral("the file is a symbolic link");
    if (mode & S_IWOTH)
        return QStringLiteral("the file is writable by others");
    struct stat dir {};
    // In a folder anyone may write to, anyone may put another file in its place (unless the
    // folder is sticky, when only the owner may).
    if (::stat(QFile::encodeName(folder).constData(), &dir) == 0 && (dir.st_mode & S_IWOTH) && !(dir.st_mode & S_ISVTX))
        return QStringLiteral("its folder is writable by others");
    return QString();
}

void DeploymentConfig::parse(const QByteArray& bytes)
{
    static const QRegularExpression keyPattern(QStringLiteral("^[A-Za-z][A-Za-z0-9_]{0,63}$"));
    const QList<QByteArray> lines = bytes.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QString where = QStringLiteral("%1, line %2").arg(m_path).arg(i + 1);
        const QString line = QString::fromUtf8(lines[i]).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1Char(';')) ||
            line == QLatin1String("[crashui]"))
            continue;
        const int equals = line.indexOf(QLatin1Char('='));
        const QString key = equals > 0 ? line.left(equals).trimmed() : QString();
        // The line itself is never quoted back: it may be a password typed in the wrong place.
        if (!keyPattern.match(key).hasMatch()) {
            m_error = QStringLiteral("%1: not a KEY = value line").arg(where);
            return;
        }
        if (!knownKeys().contains(key)) {
            m_error = QStringLiteral("%1: unknown key %2").arg(where, key);
            return;
        }
        if (m_values.contains(key)) {
            m_error = QStringLiteral("%1: %2 is given twice (first at %3)").arg(where, key, m_values.value(key).origin);
            return;
        }
        QString value = line.mid(equals + 1).trimmed();
        if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
            value = value.mid(1, value.size() - 2);
        // An empty value is no value, as an empty environment variable is none.
        m_values.insert(key, {value, where});
    }
    for (auto it = m_values.begin(); it != m_values.end();) {
        if (it->text.isEmpty())
            it = m_values.erase(it);
        else
            ++it;
    }
}
