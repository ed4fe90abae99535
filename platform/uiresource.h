#pragma once

#include <QColor>
#include <QFont>
#include <QMap>
#include <QString>

namespace Lumo {

// The theme: named colours and fonts. Reached through utils::CSingletonT<CUiResource>.
// Read-only after construction, so any thread may read it.
class CUiResource {
public:
    CUiResource();
    virtual ~CUiResource();

    // Never null: an unknown key gives defaultColor().
    const QColor* getColor(const QString& key) const;
    // An unknown key gives the application's default font.
    QFont getFont(const QString& key) const;

    static QColor defaultColor() { return QColor(51, 51, 51, 255); }

private:
    QMap<QString, QColor> m_colors;
    QColor m_defaultColor;
};

} // namespace Lumo
