#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <optional>

// The file work of a build switch and of a pack installation: zips the game
// directory into a build archive, empties it down to the shared entries, extracts a
// build archive into it and installs a pack archive. Lives on the build switcher's
// worker thread; every request reports per-file progress and ends with exactly one
// finished(). Hostile archive contents (absolute names, parent steps, links, writes into
// the shared entries or out of the game directory, more data than the disk holds) are
// refused on their exact stored names before anything is written; pack archives are
// also refused drive letters and backslashes (PathRules).
class BuildArchiveWorker : public QObject {
    Q_OBJECT

public:
    explicit BuildArchiveWorker(QObject* parent = nullptr);

    // The one datum shared with the owning thread; read between files.
    void raiseCancel() { m_cancel.store(true, std::memory_order_relaxed); }
    void lowerCancel() { m_cancel.store(false, std::memory_order_relaxed); }
    bool isCancelRaised() const { return m_cancel.load(std::memory_order_relaxed); }

    // Relative paths ("/"-separated) of every regular file that an archive of gameDir
    // holds: hidden ones included, symbolic links neither listed nor followed, top-level
    // entries named in excludeTop skipped. Adds their sizes to totalBytes when given.
    // Names are as SystemPath reads them, so a name that is not UTF-8 still leads back to
    // its file. A name that cannot be its entry's own ("", "." or "..") ends the walk:
    // nothing is returned, and error names the folder holding it.
    static std::optional<QStringList> collectFiles(const QString& gameDir,
                                                   const QStringList& excludeTop,
                                                   qint64* totalBytes = nullptr,
                                                   QString* error = nullptr);
    // The name endings of files whose data is compressed already; their entries are
    // stored as they are. Compared without regard to case.
    static const QStringList& storedSuffixes();
    // Whether a pack may write its file entry `name` into the game folder: a pack path
    // outside the top-level entries in forbiddenTop. When not, refusal tells why.
    static bool packMayWrite(const QString& name, const QStringList& forbiddenTop,
                             QString* refusal = nullptr);
    // Whether entries of this name are stored without recompressing.
    static bool isAlreadyCompressed(const QString& path);
    // Flushes everything written to the file system that holds path.
    static void syncFileSystem(const QString& path);

public slots:
    void archive(const QString& gameDir, const QString& tempZipPath, const QStringList& excludeTop);
    void clear(const QString& gameDir, const QStringList& keepTop);
    void restore(const QString& zipPath, const QString& gameDir);
    // With a ledger (PackLedger) the files it names are removed as well, and it is kept
    // of every file written.
    void applyPack(const QString& zipPath, const QString& gameDir,
                   const QStringList& removeRelative, const QStringList& forbiddenTop,
                   const QString& ledgerPath = QString(), const QString& recordPath = QString());

signals:
    void progress(int done, int total, const QString& currentPath);
    void packEntries(const QStringList& entries);
    void finished(bool ok, const QString& error);

private:
    bool cancelled() const { return isCancelRaised(); }
    void succeed() { emit finished(true, QString()); }
    void fail(const QString& message) { emit finished(false, message); }

    std::atomic<bool> m_cancel{false};
};
