#pragma once

#include "platform/eventwidget.h"

#include <QDialog>
#include <QRect>

namespace Lumo {

// Themed dialog base. Declares no meta-object of its own: a subclass's meta-object has
// QDialog's as its parent.
class CBaseDialog : public CEventWidgetT<QDialog>, public CUiResourceChangeHandler {
public:
    CBaseDialog(const QString& name, const QString& skin, QWidget* parent, Qt::WindowFlags flags);
    ~CBaseDialog() override;

    virtual QRect getMaskRect();
    virtual bool checkOK();
    virtual void onOK();
};

} // namespace Lumo
