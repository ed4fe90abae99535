#include "platform/basewidget.h"

#include <QPalette>

namespace Lumo {

CBaseWidget::CBaseWidget(const QString& name, bool /*option*/, QWidget* parent)
    : CEventWidgetT<QWidget>(parent)
{
    setObjectName(name);
    if (parent)
        setGeometry(parent->rect());
}

CBaseWidget::~CBaseWidget() = default;

void CBaseWidget::setMouseEventRule(EMouseEventRule rule)
{
    m_mouseEventRule = rule;
}

bool CBaseWidget::setActive(bool active, bool notify)
{
    const bool changed = m_active != active;
    m_active = active;
    if (changed && active && notify)
        onActive();
    return changed;
}

void CBaseWidget::onActive() {}

QRect CBaseWidget::getMaskRect()
{
    return rect();
}

void CBaseWidget::paintBackgroud(const QColor& color)
{
    QPalette pal = palette();
    pal.setBrush(QPalette::Window, QBrush(color, Qt::SolidPattern));
    setPalette(pal);
    setAutoFillBackground(true);
}

} // namespace Lumo
