#pragma once

#include "platform/basewidget.h"

class QCheckBox;

namespace Lumo {

// A themed check box: a QCheckBox with the label, filling the widget.
class CCheckBox : public CBaseWidget {
public:
    CCheckBox(int id, const QString& text, QWidget* parent);

    int id() const { return m_id; }
    QCheckBox* checkBox() const { return m_box; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    int m_id;
    QCheckBox* m_box; // Qt child
};

} // namespace Lumo
