#pragma once

#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

struct ZipEntryInfo;

// What a build's pack applications wrote into the game directory, kept in a file of the
// build's own while they run, so that the next application removes those files and no
// other: not a player's file at a name a pack lists but never reached, nor one standing
// where an application that was killed had not yet put its own.
//
// An application first writes down the names it is about to remove (files earlier packs
// wrote), then, before each run of files it writes, claims their names together with
// what stood there before and what the pack puts there (size and CRC-32), flushed to the
// disk ahead of the files. A claim counts as written only where another file than the one
// it found stands now and holds the pack's content: a build switch that extracts the
// folder anew, an editor's save by rename or a device numbered anew after a reboot give
// a player's file another identity, never the pack's bytes. So a kill at any moment, and
// whatever happens to the folder until the next application, leaves the ledger naming
// every file an application put down and none it did not (a file of it changed since is
// left behind, the lesser loss). At its end, whole or failed, the application settles
// the ledger to the files it knows are the packs'.
//
// The ledger, and the record, name the game folder they speak of: where the player has
// since chosen another game folder, their names say nothing of the files there, which
// are the player's (a pack file left in the old folder is the lesser loss). A ledger or
// record that names no folder (written before they did) speaks of the folder in effect.
//
// Used on the build switcher's worker thread; every call is linear in the names, and
// owned() in the bytes of claimed files that changed since their claim.
class PackLedger {
public:
    // ledgerPath: the build's ledger; recordPath: the build's record, whose "entries"
    // name the files of the last complete application where no ledger is kept yet.
    PackLedger(const QString& ledgerPath, const QString& recordPath, const QString& gameDir);

    // The names (relative to the game directory) whose files earlier applications wrote
    // and that may still stand there, each once. Without a ledger, the record's entries;
    // a ledger empty, cut short or unreadable adds those of them whose files took their
    // place before the record was written.
    QStringList owned() const;
    // Writes down, whole, the names the application starts from: the earlier packs' files.
    bool begin(const QStringList& owned, QString* error = nullptr);
    // Claims the names of the entries the application writes next; on the disk when it
    // returns true.
    bool claim(const QList<ZipEntryInfo>& entries, QString* error = nullptr);
    // Rewrites the ledger to the names of these that stand in the game directory.
    void settle(const QStringList& names);

    // The "entries" of a build's record, in their order; empty without one.
    static QStringList recordEntries(const QString& recordPath);
    // The key of a build's record that names the game folder its entries were written to.
    static const QString kRecordGameDir;

private:
    QString identityAt(const QString& name) const;
    bool claimWasWritten(const QByteArray& stamp, const QString& name) const;
    QStringList recordEntriesHere() const;
    QStringList recordedFilesInPlace() const;
    bool speaksOfThisFolder(const std::optional<QString>& folder) const;
    bool standsAt(const QString& name) const;
    bool rewrite(const QStringList& names, QString* error);
    QString failure(const QString& reason) const;

    const QString m_ledgerPath;
    const QString m_recordPath;
    const QString m_root;
    QFile m_claims;
};
