#include "dialog/highdpi.h"

#include <QGuiApplication>

namespace Lumo {

void prepareHighDpi()
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true); // always on under Qt 6
#endif
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::Round);
}

} // namespace Lumo
