#include "platform/dialoghelper.h"

#include <QDialog>
#include <QGuiApplication>
#include <QScreen>

namespace Lumo {

void CDialogHelper::fixCenter(QDialog* dialog)
{
    if (!dialog)
        return;
    QScreen* screen = QGuiApplication::screenAt(dialog->geometry().center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    QRect frame = dialog->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    dialog->move(frame.topLeft());
}

} // namespace Lumo
