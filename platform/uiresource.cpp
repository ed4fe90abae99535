#include "platform/uiresource.h"

#include <QGuiApplication>

namespace Lumo {

CUiResource::CUiResource() : m_defaultColor(defaultColor())
{
    m_colors.insert(QStringLiteral("white"), QColor(255, 255, 255));
    m_colors.insert(QStringLiteral("bg_color"), QColor(255, 255, 255));
    m_colors.insert(QStringLiteral("bg_gray"), QColor(240, 240, 240));
    m_colors.insert(QStringLiteral("text_color"), QColor(51, 51, 51));
    m_colors.insert(QStringLiteral("text_gray"), QColor(128, 128, 128));
    m_colors.insert(QStringLiteral("text_red"), QColor(204, 0, 0));
    m_colors.insert(QStringLiteral("text_blue"), QColor(0, 102, 204));
}

CUiResource::~CUiResource() = default;

const QColor* CUiResource::getColor(const QString& key) const
{
    const auto it = m_colors.constFind(key);
    return it == m_colors.constEnd() ? &m_defaultColor : &it.value();
}

QFont CUiResource::getFont(const QString& key) const
{
    QFont font = QGuiApplication::font();
    if (key == QLatin1String("font_bold")) {
        font.setBold(true);
    } else if (key == QLatin1String("font_large")) {
        font.setPointSizeF(font.pointSizeF() * 1.25);
    } else if (key == QLatin1String("font_small")) {
        font.setPointSizeF(font.pointSizeF() * 0.85);
    }
    return font;
}

} // namespace Lumo
