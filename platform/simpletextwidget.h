#pragma once

#include "platform/basewidget.h"

namespace Lumo {

// A text shown inside its geometry, wrapped to its width, in the theme's colour and font.
class CSimpleTextWidget : public CBaseWidget {
public:
    CSimpleTextWidget(const QString& text, QWidget* parent);

    void setText(const QString& text);
    QString text() const { return m_text; }
    void setColorKey(const QString& key);
    void setFontKey(const QString& key);
    // Horizontal alignment: Qt::AlignLeft, Qt::AlignHCenter or Qt::AlignRight.
    void setFlag(int flag);
    int flag() const { return m_flag; }
    // The widget's font, made smaller where needed so that the wrapped text fits the geometry.
    QFont fittingFont() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    static constexpr int kMinPixelSize = 8;
    QString m_text;
    QColor m_color;
    int m_flag = Qt::AlignLeft;
};

} // namespace Lumo
