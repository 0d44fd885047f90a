#pragma once

#include <QFile>
#include <QHash>
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
// The ledger, and the record, name the game folder they speak of, by its path and by its
// real place (the folder a link leads to, and which folder it is there): a folder is
// where it really is, whatever its path says now. Where the file system numbers its inodes
// anew at every mount (FAT, exFAT, many FUSE file systems), nothing tells which folder it
// is there, and the real path alone is the folder. Names keep the size and checksum of
// what the pack wrote there, and each folder an application ran in keeps its list of
// names until an application there settles it; a list of a folder that stood at this
// folder's real path before it, gone now, is settled with this folder's own, the files
// that still hold what the pack wrote counting, and is then dropped, so a folder made
// again at its path leaves one list. In the folder a name was written into,
// whatever stands at it is the pack's file (or, for a claim, what the claim says); in any
// other folder, only a file that holds exactly what the pack wrote is, so the pack's files
// are replaced wherever the player's copies of the folder or a build switch took them, and
// a player's own file of such a name stays. A ledger or record that names no folder
// (written before they did) speaks of the folder in effect, unless the ledger names
// another one.
//
// Used on the build switcher's worker thread, one ledger object an application; every
// call is linear in the names, and owned() in the bytes of claimed files that changed
// since their claim and of files of other folders' lists that have the size the pack
// wrote, each file read once whatever the lists that name it.
class PackLedger {
public:
    // ledgerPath: the build's ledger; recordPath: the build's record, whose "entries"
    // name the files of the last complete application where no ledger is kept yet.
    PackLedger(const QString& ledgerPath, const QString& recordPath, const QString& gameDir);

    // The names (relative to the game directory) whose files earlier applications wrote
    // and that may still stand there, each once. Without a ledger, the record's entries;
    // a ledger empty, cut short or unreadable adds those of them whose files took their
    // place before the record was written.
    QStringList owned();
    // Writes down, whole, the names the application starts from: the earlier packs' files.
    bool begin(const QStringList& owned, QString* error = nullptr);
    // Claims the names of the entries the application writes next; on the disk when it
    // returns true.
    bool claim(const QList<ZipEntryInfo>& entries, QString* error = nullptr);
    // Rewrites the ledger to the names of these that stand in the game directory.
    void settle(const QStringList& names);

    // The "entries" of a build's record, in their order; empty without one.
    static QStringList recordEntries(const QString& recordPath);
    // The keys of a build's record that name the game folder its entries were written to:
    // its path and its real place (placeOf).
    static const QString kRecordGameDir;
    static const QString kRecordGamePlace;
    // Where a folder really is, as the ledger and the record keep it: the folder its links
    // lead to and its inode there (not its device, which may be numbered anew at the next
    // boot), or no inode where its file system numbers them anew at every mount; empty
    // when it cannot be found.
    static QString placeOf(const QString& folder);

private:
    struct Sums {
        quint64 size = 0;
        quint32 crc = 0;
    };
    struct Claim {
        QByteArray identity; // what stood at the name when it was claimed
        Sums sums;
        QString name;
    };
    // What a folder's list is to the folder in effect: its own; one of a folder that
    // stood at its real path before, settled with it and then dropped; another folder's.
    enum class Role { Here, Gone, Elsewhere };
    // The names one game folder holds of the packs; a ledger's first list names no folder
    // when it was written before lists did.
    struct FolderList {
        std::optional<QString> folder;
        QString place;
        QStringList names;
        QHash<QString, Sums> sums;
        QList<Claim> claims;
        Role role = Role::Elsewhere;
    };

    void load();
    void read(const QByteArray& content);
    void assignRoles();
    bool isThisFolder(const FolderList& list) const;
    bool isThisPlace(const QString& place) const;
    bool isAtThisRealPath(const FolderList& list) const;
    void count(const FolderList& list, bool here, QStringList* names);
    bool holdsWhatThePackWrote(const QString& name, const std::optional<Sums>& sums);
    std::optional<quint32> crcOf(const QString& name);
    QString identityAt(const QString& name) const;
    bool claimWasWritten(const Claim& claim);
    QStringList recordEntriesHere();
    QStringList recordedFilesInPlace();
    bool standsAt(const QString& name) const;
    bool rewrite(const QStringList& names, QString* error);
    QString failure(const QString& reason) const;

    const QString m_ledgerPath;
    const QString m_recordPath;
    const QString m_root;
    const QString m_place;
    QFile m_claims;

    bool m_loaded = false;
    bool m_missing = false;
    bool m_whole = false;
    // The ledger's lists in its order, never empty once loaded: the first is the one the
    // last application wrote; those of other folders are kept for when the player comes
    // back to them.
    QList<FolderList> m_lists;
    // What the pack wrote at each name known to count here or claimed: kept with the name.
    QHash<QString, Sums> m_sums;
    // The checksum of the file at each name read so far. The ledger is read before the
    // application writes anything.
    QHash<QString, std::optional<quint32>> m_crcs;
};
