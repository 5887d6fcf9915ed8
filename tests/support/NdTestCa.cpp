#include "NdTestHttpServer.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

namespace {

const int kOpensslTimeoutMs = 30000;

QTemporaryDir& CaDir()
{
    static QTemporaryDir dir; // removed when the process ends
    return dir;
}

bool RunOpenssl(const QStringList& arguments)
{
    QProcess process;
    process.setWorkingDirectory(CaDir().path());
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("openssl"), arguments);
    if (!process.waitForFinished(kOpensslTimeoutMs) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        qWarning().noquote() << "openssl" << arguments.join(' ') << "failed:" << process.readAll();
        return false;
    }
    return true;
}

QStringList NewKeyArguments(const QString& keyName)
{
    return {QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
        QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"), QStringLiteral("-keyout"), keyName};
}

bool MakeCa(const QString& name, const QString& commonName)
{
    return RunOpenssl(QStringList{QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-new")}
        + NewKeyArguments(name + QStringLiteral(".key"))
        + QStringList{QStringLiteral("-out"), name + QStringLiteral(".crt"), QStringLiteral("-days"),
            QStringLiteral("3650"), QStringLiteral("-subj"), QStringLiteral("/CN=") + commonName,
            QStringLiteral("-addext"), QStringLiteral("basicConstraints=critical,CA:TRUE"), QStringLiteral("-addext"),
            QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")});
}

bool WriteServerExtensions()
{
    QFile file(CaDir().filePath(QStringLiteral("server.ext")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n"
               "basicConstraints=CA:FALSE\n"
               "keyUsage=critical,digitalSignature,keyEncipherment\n"
               "extendedKeyUsage=serverAuth\n");
    return true;
}

bool MakeServerCert(const QString& name, const QString& caName, int serial)
{
    return RunOpenssl(QStringList{QStringLiteral("req"), QStringLiteral("-new")} + NewKeyArguments(name + ".key")
               + QStringList{QStringLiteral("-out"), name + QStringLiteral(".csr"), QStringLiteral("-subj"),
                   QStringLiteral("/CN=127.0.0.1")})
        && RunOpenssl({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), name + ".csr",
            QStringLiteral("-CA"), caName + ".crt", QStringLiteral("-CAkey"), caName + ".key",
            QStringLiteral("-set_serial"), QString::number(serial), QStringLiteral("-days"), QStringLiteral("825"),
            QStringLiteral("-sha256"), QStringLiteral("-extfile"), QStringLiteral("server.ext"), QStringLiteral("-out"),
            name + ".crt"});
}

NdTestCa CreateTestCa()
{
    NdTestCa ca;
    if (!CaDir().isValid())
        return ca;
    const QString dir = CaDir().path() + '/';
    ca.Ok = WriteServerExtensions() && MakeCa(QStringLiteral("ca"), QStringLiteral("NdDownloader Test CA"))
        && MakeServerCert(QStringLiteral("server"), QStringLiteral("ca"), 1001)
        && MakeCa(QStringLiteral("other-ca"), QStringLiteral("Unrelated Test CA"))
        && MakeServerCert(QStringLiteral("untrusted-server"), QStringLiteral("other-ca"), 2001);
    ca.CaCertPath = dir + QStringLiteral("ca.crt");
    ca.ServerCertPath = dir + QStringLiteral("server.crt");
    ca.ServerKeyPath = dir + QStringLiteral("server.key");
    ca.UntrustedServerCertPath = dir + QStringLiteral("untrusted-server.crt");
    ca.UntrustedServerKeyPath = dir + QStringLiteral("untrusted-server.key");
    return ca;
}

} // namespace

const NdTestCa& NdTestCa::Instance()
{
    static const NdTestCa ca = CreateTestCa(); // thread-safe, made once
    return ca;
}
