#include "zipwriter.h"

#include <QFile>

#include <algorithm>
#include <array>

namespace {
constexpr quint16 kVersion = 20;
constexpr quint16 kMadeOnUnix = 3 << 8;
constexpr quint16 kUtf8NameFlag = 1 << 11;
// 1 January 2020, 12:00:00 in MS-DOS format.
constexpr quint16 kDosTime = 12 << 11;
constexpr quint16 kDosDate = (2020 - 1980) << 9 | 1 << 5 | 1;

void put16(QByteArray& out, quint32 value)
{
    out.append(char(value & 0xff));
    out.append(char((value >> 8) & 0xff));
}

void put32(QByteArray& out, quint32 value)
{
    put16(out, value & 0xffff);
    put16(out, value >> 16);
}

quint16 flagsOf(const ZipWriter::Entry& entry)
{
    const bool ascii = std::all_of(entry.name.cbegin(), entry.name.cend(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    return entry.utf8Flag && !ascii ? kUtf8NameFlag : 0;
}

// The fields the local header and the central directory share, from "version needed" to
// "extra field length".
void putCommonFields(QByteArray& out, const ZipWriter::Entry& entry)
{
    put16(out, kVersion);
    put16(out, flagsOf(entry));
    put16(out, 0); // stored
    put16(out, kDosTime);
    put16(out, kDosDate);
    put32(out, ZipWriter::crc32(entry.data));
    put32(out, quint32(entry.data.size()));
    put32(out, quint32(entry.data.size()));
    put16(out, quint32(entry.name.size()));
    put16(out, 0);
}
} // namespace

void ZipWriter::addFile(const QByteArray& name, const QByteArray& data, quint32 permissions)
{
    addEntry({name, data, 0100000 | permissions, true});
}

void ZipWriter::addDirectory(const QByteArray& name, quint32 permissions)
{
    addEntry({name, {}, 0040000 | permissions, true});
}

void ZipWriter::addSymlink(const QByteArray& name, const QByteArray& target)
{
    addEntry({name, target, 0120777, true});
}

QByteArray ZipWriter::toByteArray() const
{
    QByteArray out;
    QByteArray directory;
    for (const Entry& entry : m_entries) {
        const quint32 offset = quint32(out.size());
        put32(out, 0x04034b50);
        putCommonFields(out, entry);
        out.append(entry.name);
        out.append(entry.data);

        put32(directory, 0x02014b50);
        put16(directory, entry.unixMode ? kMadeOnUnix | kVersion : kVersion);
        putCommonFields(directory, entry);
        put16(directory, 0); // comment length
        put16(directory, 0); // disk number
        put16(directory, 0); // internal attributes
        put32(directory, entry.unixMode << 16 | ((entry.unixMode & 0170000) == 0040000 ? 0x10 : 0));
        put32(directory, offset);
        directory.append(entry.name);
    }
    const quint32 directoryOffset = quint32(out.size());
    out.append(directory);
    put32(out, 0x06054b50);
    put16(out, 0);
    put16(out, 0);
    put16(out, quint32(m_entries.size()));
    put16(out, quint32(m_entries.size()));
    put32(out, quint32(directory.size()));
    put32(out, directoryOffset);
    put16(out, 0);
    return out;
}

bool ZipWriter::write(const QString& path) const
{
    QFile file(path);
    const QByteArray bytes = toByteArray();
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

quint32 ZipWriter::crc32(const QByteArray& data)
{
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> values{};
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            values[n] = c;
        }
        return values;
    }();
    quint32 crc = 0xffffffffu;
    for (char byte : data)
        crc = table[(crc ^ static_cast<unsigned char>(byte)) & 0xff] ^ (crc >> 8);
    return crc ^ 0xffffffffu;
}
