// The yardstick for crashui's start-up: a Qt Widgets program that only shows an empty dialog.
#include <QApplication>
#include <QDialog>

int main(int argc, char* argv[])
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QApplication app(argc, argv);
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("minimal"));
    dialog.resize(418, 310);
    dialog.show();
    return app.exec();
}
