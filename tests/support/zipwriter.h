#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Writes a zip file by hand, byte by byte, so tests can build archives that no careful
// writer would produce: entry names such as "../evil", "/abs" or "a\\b", duplicate names,
// symbolic links to anywhere. Entries are stored (not compressed); no Zip64.
class ZipWriter {
public:
    struct Entry {
        QByteArray name;
        QByteArray data;
        // The unix mode with the file type (e.g. 0100644); 0 records the entry as made on
        // MS-DOS, without unix attributes.
        quint32 unixMode = 0100644;
        // Sets the UTF-8 name flag when the name holds bytes outside ASCII.
        bool utf8Flag = true;
    };

    void addEntry(const Entry& entry) { m_entries.append(entry); }
    void addFile(const QByteArray& name, const QByteArray& data, quint32 permissions = 0644);
    // The name is used as given: end it with '/' for a well-formed directory entry.
    void addDirectory(const QByteArray& name, quint32 permissions = 0755);
    void addSymlink(const QByteArray& name, const QByteArray& target);

    QByteArray toByteArray() const;
    bool write(const QString& path) const;

    static quint32 crc32(const QByteArray& data);

private:
    QList<Entry> m_entries;
};
