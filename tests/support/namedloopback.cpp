#include "namedloopback.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryFile>
#include <QTest>

namespace {

constexpr char kMappedVariable[] = "HM_NAMED_LOOPBACK";
constexpr int kChildTimeoutMs = 120000 * HM_SLOWDOWN;

QStringList inOwnMountNamespace(const QStringList& command)
{
    return QStringList{QStringLiteral("--mount"), QStringLiteral("--propagation"),
                       QStringLiteral("private")} +
           command;
}

} // namespace

namespace NamedLoopback {

QString origin(quint16 port)
{
    return QStringLiteral("https://%1:%2").arg(QLatin1String(kHostName)).arg(port);
}

bool isMappedHere()
{
    return qEnvironmentVariableIsSet(kMappedVariable);
}

bool canMap()
{
    static const bool possible =
        QProcess::execute(QStringLiteral("unshare"),
                          inOwnMountNamespace({QStringLiteral("true")})) == 0;
    return possible;
}

bool runCurrentTest(QByteArray* output)
{
    QTemporaryFile hosts;
    if (!hosts.open())
        return false;
    hosts.write("127.0.0.1 localhost\n::1 localhost ip6-localhost ip6-loopback\n");
    hosts.write(QByteArray("127.0.0.1 ") + kHostName + '\n');
    hosts.close();
    QString test = QString::fromLatin1(QTest::currentTestFunction());
    if (const char* row = QTest::currentDataTag())
        test += QLatin1Char(':') + QString::fromLatin1(row);

    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QLatin1String(kMappedVariable), QStringLiteral("1"));
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    // The hosts file is bound over /etc/hosts before the test starts, so that every thread
    // it starts sees it.
    child.start(
        QStringLiteral("unshare"),
        inOwnMountNamespace({QStringLiteral("sh"), QStringLiteral("-c"),
                             QStringLiteral("mount --bind \"$0\" /etc/hosts && exec \"$@\""),
                             hosts.fileName(), QCoreApplication::applicationFilePath(), test}));
    const bool ended = child.waitForFinished(kChildTimeoutMs);
    *output = child.readAll();
    return ended && child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
}

} // namespace NamedLoopback
