#pragma once

#include "platform/eventwidget.h"

#include <QColor>
#include <QRect>
#include <QWidget>

namespace Lumo {

enum EMouseEventRule { MouseEventDefault = 0, MouseEventPassThrough = 1, MouseEventConsume = 2 };

// Themed base widget. Created with a parent, it starts out covering the parent's whole area
// (the layout container relies on that); setGeometry places it otherwise. Mouse presses it
// does not use travel on to the parent, as with a plain QWidget.
class CBaseWidget : public CEventWidgetT<QWidget>, public CUiResourceChangeHandler {
    Q_OBJECT
public:
    CBaseWidget(const QString& name, bool option, QWidget* parent);
    ~CBaseWidget() override;

    void setMouseEventRule(EMouseEventRule rule);
    EMouseEventRule mouseEventRule() const { return m_mouseEventRule; }

    virtual bool setActive(bool active, bool notify);
    virtual void onActive();
    virtual QRect getMaskRect();
    virtual void paintBackgroud(const QColor& color);

private:
    EMouseEventRule m_mouseEventRule = MouseEventDefault;
    bool m_active = false;
};

} // namespace Lumo
