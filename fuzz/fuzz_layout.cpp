// Layout XML on arbitrary bytes: never a crash, never a widget outside the dialog.
#include "platform/basedialog.h"
#include "builder/dialogbuilder.h"

#include <QApplication>

#include <cstdlib>

namespace {
QApplication* application()
{
    static int argc = 1;
    static char name[] = "fuzz_layout";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QApplication(argc, argv);
    }();
    return app;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    application();
    const int before = QApplication::topLevelWidgets().size();
    {
        Lumo::CBaseDialog dialog(QStringLiteral("d"), QString(), nullptr, Qt::WindowFlags());
        Lumo::CDialogBuilder builder(&dialog);
        const QString xml = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<int>(size));
        if (builder.createFromXml(xml)) {
            for (int id = -2; id < 8; ++id)
                builder.getWidget(id);
        }
        if (QApplication::topLevelWidgets().size() != before + 1)
            std::abort(); // a widget escaped the dialog
    }
    return 0;
}
