#include "tests/tools/testcerts.h"

#include <QFile>
#include <QProcess>

bool TestCerts::run(const QStringList& arguments)
{
    QProcess openssl;
    openssl.setWorkingDirectory(m_dir.path());
    openssl.start(QStringLiteral("openssl"), arguments);
    if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0) {
        m_error = QStringLiteral("openssl ") + arguments.join(QLatin1Char(' ')) + QStringLiteral(": ") +
                  QString::fromLocal8Bit(openssl.readAllStandardError());
        return false;
    }
    return true;
}

bool TestCerts::issue(const QString& name, const QString& caName, const QString& subjectAltName)
{
    QFile extensions(m_dir.filePath(name + QStringLiteral(".ext")));
    if (!extensions.open(QIODevice::WriteOnly))
        return false;
    extensions.write(("subjectAltName=" + subjectAltName + "\nextendedKeyUsage=serverAuth\n").toUtf8());
    extensions.close();
    return run({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", name + ".key",
                "-out", name + ".csr", "-subj", "/CN=" + name}) &&
           run({"x509", "-req", "-in", name + ".csr", "-CA", caName + ".pem", "-CAkey", caName + ".key",
                "-CAcreateserial", "-days", "2", "-out", name + ".pem", "-extfile", name + ".ext"});
}

TestCerts::TestCerts()
{
    const auto makeCa = [this](const QString& name) {
        return run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
                    name + ".key", "-out", name + ".pem", "-days", "2", "-subj", "/CN=crashui test " + name});
    };
    m_ok = makeCa(QStringLiteral("ca")) && makeCa(QStringLiteral("strangerca")) &&
           issue(QStringLiteral("server"), QStringLiteral("ca"), QStringLiteral("DNS:localhost,IP:127.0.0.1")) &&
           issue(QStringLiteral("other"), QStringLiteral("ca"), QStringLiteral("DNS:other.example.com")) &&
           issue(QStringLiteral("stranger"), QStringLiteral("strangerca"), QStringLiteral("DNS:localhost,IP:127.0.0.1"));
}
