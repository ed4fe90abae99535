#include "platform/checkbox.h"

#include <QCheckBox>

namespace Lumo {

CCheckBox::CCheckBox(int id, const QString& text, QWidget* parent)
    : CBaseWidget(QStringLiteral("CCheckBox"), false, parent), m_id(id), m_box(new QCheckBox(text, this))
{
    m_box->setGeometry(rect());
}

void CCheckBox::resizeEvent(QResizeEvent*)
{
    m_box->setGeometry(rect());
}

} // namespace Lumo
