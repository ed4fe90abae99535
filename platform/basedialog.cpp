#include "platform/basedialog.h"

namespace Lumo {

CBaseDialog::CBaseDialog(const QString& name, const QString& /*skin*/, QWidget* parent, Qt::WindowFlags flags)
    : CEventWidgetT<QDialog>(parent, flags)
{
    setObjectName(name);
}

CBaseDialog::~CBaseDialog() = default;

QRect CBaseDialog::getMaskRect()
{
    return rect();
}

bool CBaseDialog::checkOK()
{
    return true;
}

void CBaseDialog::onOK()
{
    if (checkOK())
        accept();
}

} // namespace Lumo
