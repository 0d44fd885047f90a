#include "temphome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

TempHome::TempHome()
    : m_previous(qgetenv("HOLLOWMERE_HOME")),
      m_hadPrevious(qEnvironmentVariableIsSet("HOLLOWMERE_HOME"))
{
    qputenv("HOLLOWMERE_HOME", m_dir.path().toLocal8Bit());
}

TempHome::~TempHome()
{
    if (m_hadPrevious)
        qputenv("HOLLOWMERE_HOME", m_previous);
    else
        qunsetenv("HOLLOWMERE_HOME");
}

QString TempHome::dataDir() const
{
    return m_dir.path() + QStringLiteral("/Hollowmere");
}

bool TempHome::writeFile(const QString& relativePath, const QByteArray& content) const
{
    const QString target = m_dir.path() + QLatin1Char('/') + relativePath;
    QDir().mkpath(QFileInfo(target).absolutePath());
    QFile file(target);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
}
