#include "platform/standardtable.h"

#include <QTableWidget>

namespace Lumo {

IBaseTable::IBaseTable(int id, QWidget* parent) : CBaseWidget(QStringLiteral("IBaseTable"), false, parent), m_id(id) {}

CBaseNormalTable::CBaseNormalTable(int id, QWidget* parent, QFlags<EBaseTableMenuFlag> menuFlags)
    : IBaseTable(id, parent), m_table(new QTableWidget(this)), m_menuFlags(menuFlags)
{
    m_table->setGeometry(rect());
}

void CBaseNormalTable::resizeEvent(QResizeEvent*)
{
    m_table->setGeometry(rect());
}

CStandardTable::CStandardTable(int id, QWidget* parent, QFlags<EBaseTableMenuFlag> menuFlags)
    : CBaseNormalTable(id, parent, menuFlags)
{
}

} // namespace Lumo
