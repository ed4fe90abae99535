// A pending record as anyone who can write ROOT/dumps/pending may leave it: JSON in, a record or a
// refusal out. Whatever it says, the bounds and a resend's clean-up never remove a file outside
// the store's own names, and never a dump outside the dumps folder. "@V" in the input stands for
// such a file's path, "@D" for a file of the dumps folder that is not a dump.
#include "dispatch/pendingstore.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>

namespace {

QCoreApplication* application()
{
    static int argc = 1;
    static char name[] = "fuzz_pendingrecord";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    return app;
}

void put(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    application();
    QTemporaryDir root;
    const QString dumps = root.filePath(QStringLiteral("dumps"));
    const QString victim = root.filePath(QStringLiteral("elsewhere/victim.dmp"));
    const QString notADump = dumps + QStringLiteral("/crashui.ini");
    QDir().mkpath(dumps + QStringLiteral("/pending"));
    QDir().mkpath(root.filePath(QStringLiteral("elsewhere")));
    put(victim, "not crashui's");
    put(notADump, "[user]\n");

    QByteArray json(reinterpret_cast<const char*>(data), static_cast<int>(size));
    json.replace("@V", QFile::encodeName(victim)).replace("@D", QFile::encodeName(notADump));
    const QString id = QStringLiteral("a_b_20261209T100000000_fuzzfuzz");
    put(dumps + QStringLiteral("/pending/") + id + QStringLiteral(".json"), json);
    put(dumps + QStringLiteral("/pending/") + id + QStringLiteral(".rar"), "PK\x03\x04 not a whole archive");

    PendingStore store(dumps, [] { return QDateTime(QDate(2026, 12, 9), QTime(12, 0), Qt::UTC); });
    for (const PendingRecord& record : store.list()) {
        if (!record.messageId.isEmpty() && !isValidMessageId(record.messageId))
            std::abort(); // a header could be broken by it
    }
    {
        const std::unique_ptr<PendingReport> report = store.take(id);
        if (report) {
            QString why;
            if (report->verify(&why)) // never made by crashui: it cannot match
                std::abort();
            report->accepted();
        }
    }
    PendingStore::Limits none;
    none.maxCount = 1;
    none.maxDays = 1;
    none.maxBytes = 1;
    store.prune(none, QStringLiteral("another"));
    store.removeLitter();
    if (!QFile::exists(victim) || !QFile::exists(notADump))
        std::abort(); // removed a file that no pending report owns
    return 0;
}
