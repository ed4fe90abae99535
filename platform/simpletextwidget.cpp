#include "platform/simpletextwidget.h"

#include "platform/singleton.h"
#include "platform/uiresource.h"

#include <QFontInfo>
#include <QFontMetrics>
#include <QPainter>

namespace Lumo {

CSimpleTextWidget::CSimpleTextWidget(const QString& text, QWidget* parent)
    : CBaseWidget(QStringLiteral("CSimpleTextWidget"), false, parent), m_text(text),
      m_color(*utils::CSingletonT<CUiResource>::instance()->getColor(QStringLiteral("text_color")))
{
}

void CSimpleTextWidget::setText(const QString& text)
{
    m_text = text;
    update();
}

void CSimpleTextWidget::setColorKey(const QString& key)
{
    m_color = *utils::CSingletonT<CUiResource>::instance()->getColor(key);
    update();
}

void CSimpleTextWidget::setFontKey(const QString& key)
{
    setFont(utils::CSingletonT<CUiResource>::instance()->getFont(key));
    update();
}

void CSimpleTextWidget::setFlag(int flag)
{
    m_flag = flag & Qt::AlignHorizontal_Mask;
    update();
}

QFont CSimpleTextWidget::fittingFont() const
{
    // Layouts fix the rectangle; rather than cut the text off, a text that does not fit is set
    // in a smaller font, down to a legible minimum.
    const int flags = m_flag | Qt::AlignTop | Qt::TextWordWrap;
    QFont candidate = font();
    int pixelSize = QFontInfo(candidate).pixelSize();
    while (pixelSize > kMinPixelSize) {
        const QRect needed = QFontMetrics(candidate).boundingRect(QRect(0, 0, width(), 0x7fff), flags, m_text);
        if (needed.width() <= width() && needed.height() <= height())
            break;
        candidate.setPixelSize(--pixelSize);
    }
    return candidate;
}

void CSimpleTextWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setPen(m_color);
    painter.setFont(fittingFont());
    painter.drawText(rect(), m_flag | Qt::AlignTop | Qt::TextWordWrap, m_text);
}

} // namespace Lumo
