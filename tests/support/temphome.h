#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// A temporary HOLLOWMERE_HOME for one test: set on construction, restored and
// removed on destruction.
class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }
    // The data directory below the temporary home.
    QString dataDir() const;
    // Writes a file below the temporary home, creating its folders.
    bool writeFile(const QString& relativePath, const QByteArray& content) const;

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
    bool m_hadPrevious = false;
};
