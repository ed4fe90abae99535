#pragma once

#include "platform/eventwidget.h"

#include <QTextEdit>

namespace Lumo {

// Themed plain-text entry box.
class CTextEdit : public CEventWidgetT<QTextEdit>, public CUiResourceChangeHandler {
    Q_OBJECT
public:
    CTextEdit(int style, QWidget* parent, bool readOnly, bool richText);
    ~CTextEdit() override;
};

} // namespace Lumo
