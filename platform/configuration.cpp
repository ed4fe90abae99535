#include "platform/configuration.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QString>

namespace utils {

namespace {

// Far beyond any settings file this program writes; a larger file is not a settings file.
constexpr qint64 kMaxFileSize = 16 * 1024 * 1024;

} // namespace

Configuration::Configuration(const std::string& /*name*/, bool createIfMissing) : m_createIfMissing(createIfMissing)
{
}

Configuration::~Configuration() = default;

bool Configuration::load(const std::string& path)
{
    m_path = path;
    m_sections.clear();
    const QString filePath = QString::fromUtf8(path.data(), static_cast<int>(path.size()));
    const QFileInfo info(filePath);
    if (!info.isFile() || info.size() > kMaxFileSize)
        return false;
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray data = file.read(kMaxFileSize);
    std::string section;
    for (const QByteArray& rawLine : data.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith(';') || line.startsWith('#'))
            continue;
        if (line.startsWith('[') && line.endsWith(']')) {
            section = line.mid(1, line.size() - 2).trimmed().toStdString();
            continue;
        }
        const int eq = line.indexOf('=');
        if (eq <= 0)
            continue;
        m_sections[section][line.left(eq).trimmed().toStdString()] = line.mid(eq + 1).trimmed().toStdString();
    }
    return true;
}

int Configuration::readInt(const std::string& section, const std::string& key, int defaultValue) const
{
    const auto sec = m_sections.find(section);
    if (sec == m_sections.end())
        return defaultValue;
    const auto it = sec->second.find(key);
    if (it == sec->second.end())
        return defaultValue;
    bool ok = false;
    const int value = QByteArray::fromStdString(it->second).toInt(&ok, 10);
    return ok ? value : defaultValue;
}

void Configuration::write(const std::string& section, const std::string& key, int value)
{
    m_sections[section][key] = std::to_string(value);
}

bool Configuration::save()
{
    if (m_path.empty())
        return false;
    const QString filePath = QString::fromUtf8(m_path.data(), static_cast<int>(m_path.size()));
    const QFileInfo target(filePath);
    if (!m_createIfMissing && !target.exists())
        return false;
    // Only a regular file is replaced: never a directory, a pipe (opening it could block
    // forever) or a device.
    if (target.exists() && !target.isFile())
        return false;
    QByteArray text;
    for (const auto& [name, keys] : m_sections) {
        if (keys.empty())
            continue;
        if (!text.isEmpty())
            text += '\n';
        text += '[' + QByteArray::fromStdString(name) + "]\n";
        for (const auto& [key, value] : keys)
            text += QByteArray::fromStdString(key) + '=' + QByteArray::fromStdString(value) + '\n';
    }
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(text) != text.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace utils
