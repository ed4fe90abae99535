#include "dispatch/sendpendingrun.h"

#include "dispatch/onlinewaiter.h"
#include "dispatch/pendingsender.h"

#include <QFileInfo>

namespace SendPendingRun {

int checkRoot(const QString& root, QTextStream& err)
{
    if (!QFileInfo(root).isDir()) {
        err << "crashui: no such folder: " << root << "\n";
        return 2;
    }
    const QString refused = PendingStore(root + QStringLiteral("/dumps")).refusal();
    if (!refused.isEmpty()) {
        err << "crashui: " << refused << "\n";
        return 1;
    }
    return 0;
}

int run(const QStringList& arguments, const DispatchConfig& config)
{
    QTextStream out(stdout);
    QTextStream err(stderr);
    // arguments: the program, "--send-pending", ROOT_DIR
    if (arguments.size() != 3 || arguments.at(2).isEmpty()) {
        err << "usage: crashui --send-pending ROOT_DIR\n";
        return 2;
    }
    const QString root = arguments.at(2);
    if (const int refused = checkRoot(root, err))
        return refused;
    PendingStore store(root + QStringLiteral("/dumps"));
    store.removeLitter();
    const auto say = [&out](const QString& line) {
        out << line << "\n";
        out.flush();
    };
    for (const QString& drop : store.prune(config.pending))
        say(QStringLiteral("dropped ") + drop);
    PendingSender sender(store, config, say);
    const int remaining = sender.sendDue(false);
    if (remaining > 0 && sender.networkFailure())
        OnlineWaiter::startDetached(root, config);
    return remaining > 0 ? 1 : 0;
}

} // namespace SendPendingRun
