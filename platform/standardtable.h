#pragma once

#include "platform/basewidget.h"

#include <QFlags>

class QTableWidget;

namespace Lumo {

enum EBaseTableMenuFlag {
    TableMenuNone = 0x000,
    TableMenuCopy = 0x001,
    TableMenuCopyAll = 0x002,
    TableMenuSelectAll = 0x004,
    TableMenuSort = 0x008,
    TableMenuFilter = 0x010,
    TableMenuExport = 0x020,
    TableMenuPrint = 0x040,
    TableMenuColumns = 0x080,
    TableMenuRefresh = 0x100,
};
Q_DECLARE_FLAGS(EBaseTableMenuFlags, EBaseTableMenuFlag)

// Interface of the in-house tables.
class IBaseTable : public CBaseWidget {
    Q_OBJECT
public:
    IBaseTable(int id, QWidget* parent);
    int id() const { return m_id; }

private:
    int m_id;
};

class CBaseNormalTable : public IBaseTable {
public:
    CBaseNormalTable(int id, QWidget* parent, QFlags<EBaseTableMenuFlag> menuFlags);
    QFlags<EBaseTableMenuFlag> menuFlags() const { return m_menuFlags; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    QTableWidget* m_table; // Qt child

private:
    QFlags<EBaseTableMenuFlag> m_menuFlags;
};

// A table widget; this program only ever creates one from a layout.
class CStandardTable : public CBaseNormalTable {
public:
    CStandardTable(int id, QWidget* parent, QFlags<EBaseTableMenuFlag> menuFlags);
};

} // namespace Lumo

Q_DECLARE_OPERATORS_FOR_FLAGS(Lumo::EBaseTableMenuFlags)
