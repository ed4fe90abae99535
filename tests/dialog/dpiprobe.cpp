// Prints the crash dialog's size in device pixels, as the screen shows it: "WIDTHxHEIGHT". Run by
// tst_highdpi with the screen's DPI set through the environment (QT_FONT_DPI).
#include "dialog/crashui.h"
#include "dialog/highdpi.h"
#include "report/message.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QTextStream>
#include <QWindow>

int main(int argc, char* argv[])
{
    Lumo::prepareHighDpi();
    qRegisterMetaType<Message>("Message");
    QApplication app(argc, argv);
    QTemporaryDir root;
    crashui dialog(root.path().toUtf8(), QStringLiteral("probe"), nullptr, Qt::WindowFlags());
    dialog.show();
    const qreal ratio = dialog.devicePixelRatioF();
    QTextStream(stdout) << qRound(dialog.width() * ratio) << 'x' << qRound(dialog.height() * ratio) << '\n';
    return 0;
}
