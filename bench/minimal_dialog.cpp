// The yardstick for crashui's start-up: a Qt Widgets program that only shows an empty dialog.
#include <QApplication>
#include <QDialog>

int main(int argc, char* argv[])
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
#endif
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::Round);
    QApplication app(argc, argv);
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("minimal"));
    dialog.resize(418, 310);
    dialog.show();
    return app.exec();
}
