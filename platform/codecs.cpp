#include "platform/codecs.h"

#include <QTextCodec>

#include <atomic>

namespace Lumo {

namespace {
std::atomic<QTextCodec*> g_installed{nullptr};
}

QTextCodec* getCodecs()
{
    return QTextCodec::codecForName("GB18030");
}

void installCodec(QTextCodec* codec)
{
    g_installed.store(codec);
#ifdef Q_OS_WIN
    QTextCodec::setCodecForLocale(codec);
#endif
}

QTextCodec* mailCodec()
{
    QTextCodec* codec = g_installed.load();
    return codec ? codec : getCodecs();
}

} // namespace Lumo
