#include "platform/imagewidget.h"

#include <QPainter>

namespace Lumo {

CImageWidget::CImageWidget(int /*mode*/, const QString& source, QWidget* parent)
    : CBaseWidget(QStringLiteral("CImageWidget"), false, parent), m_source(source), m_pixmap(source)
{
}

void CImageWidget::paintEvent(QPaintEvent*)
{
    if (m_pixmap.isNull())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(rect(), m_pixmap);
}

} // namespace Lumo
