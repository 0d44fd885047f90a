#include "temphome.h"

#include "testhelpers.h"

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
    return TestHelpers::writeFile(m_dir.path() + QLatin1Char('/') + relativePath, content);
}
