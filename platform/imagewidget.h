#pragma once

#include "platform/basewidget.h"

#include <QPixmap>

namespace Lumo {

// An image from a file or resource path, drawn scaled into the widget's geometry.
class CImageWidget : public CBaseWidget {
public:
    CImageWidget(int mode, const QString& source, QWidget* parent);

    QString source() const { return m_source; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_source;
    QPixmap m_pixmap;
};

} // namespace Lumo
