#include "ziparchivewriter.h"

#include "readfailuretext.h"
#include "regularfile.h"
#include "stagedfile.h"
#include "systempath.h"

#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QtEndian>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using ZipArchiveWriter::Outcome;
using ZipArchiveWriter::Result;

// Data moves from the preparing threads to the writer in pieces of this size.
constexpr qint64 kPiece = 1024 * 1024;
// Prepared data waiting for the writer is bounded by both limits, so memory stays small
// whatever the archive holds.
constexpr qint64 kWaitingLimit = 64 * kPiece;
constexpr size_t kEntriesAhead = 1024;
// Small entries are gathered into writes of this size; large pieces are written as they
// are.
constexpr qsizetype kOutputBuffer = 4 * kPiece;
constexpr qint64 kDirectWrite = kPiece / 4;
// Reading and checksumming keep up with a disk on two or three threads; deflating wants
// more, but a switch should not take the whole machine.
constexpr int kMaxPreparingThreads = 4;

constexpr quint32 kLocalSignature = 0x04034b50;
constexpr quint32 kCentralSignature = 0x02014b50;
constexpr quint32 kEndSignature = 0x06054b50;
constexpr quint32 kZip64EndSignature = 0x06064b50;
constexpr quint32 kZip64LocatorSignature = 0x07064b50;
constexpr quint16 kZip64ExtraId = 0x0001;
constexpr quint16 kMethodStore = 0;
constexpr quint16 kMethodDeflate = 8;
constexpr quint16 kFlagUtf8 = 0x0800;
// Unix, specification 6.3.
constexpr quint16 kVersionMadeBy = (3 << 8) | 63;
constexpr quint16 kVersionStore = 10;
constexpr quint16 kVersionDeflate = 20;
constexpr quint16 kVersionZip64 = 45;
constexpr quint64 kMax16 = 0xFFFF;
constexpr quint64 kMax32 = 0xFFFFFFFF;
// The MS-DOS directory attribute, which unzip tools on other systems look at.
constexpr quint32 kDosDirectory = 0x10;

class Bytes {
public:
    explicit Bytes(qsizetype reserve = 64) { m_bytes.reserve(reserve); }
    Bytes& u16(quint64 value) { return put<quint16>(value); }
    Bytes& u32(quint64 value) { return put<quint32>(value); }
    Bytes& u64(quint64 value) { return put<quint64>(value); }
    Bytes& raw(const QByteArray& bytes)
    {
        m_bytes.append(bytes);
        return *this;
    }
    const QByteArray& bytes() const { return m_bytes; }

private:
    template <typename T> Bytes& put(quint64 value)
    {
        char little[sizeof(T)];
        qToLittleEndian<T>(T(value), little);
        m_bytes.append(little, qsizetype(sizeof(T)));
        return *this;
    }
    QByteArray m_bytes;
};

struct DosTime {
    quint16 time = 0;
    quint16 date = (1 << 5) | 1;
};

// Local time, two-second steps, from 1980 to 2107 as the format allows.
DosTime dosTime(std::time_t when)
{
    struct tm local {};
    if (!localtime_r(&when, &local) || local.tm_year < 80)
        return {};
    if (local.tm_year > 207)
        return {quint16((23 << 11) | (59 << 5) | 29), quint16((127 << 9) | (12 << 5) | 31)};
    return {quint16((local.tm_hour << 11) | (local.tm_min << 5) | (local.tm_sec / 2)),
            quint16(((local.tm_year - 80) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday)};
}

// The deflate level as the general-purpose flags tell it.
quint16 levelFlags(int level)
{
    switch (level) {
    case 1:
        return 0x6;
    case 2:
        return 0x4;
    case 8:
    case 9:
        return 0x2;
    default:
        return 0;
    }
}

bool isAscii(const QByteArray& bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return uchar(c) < 0x80; });
}

// Deflate never grows data by more than this, so an entry below the limit needs no Zip64
// sizes in its local header.
bool mayNeedZip64Sizes(quint64 size)
{
    return size + (size >> 10) + 1024 >= kMax32;
}

// What is known of an entry once its data has been prepared.
struct Facts {
    bool deflated = false;
    quint32 crc = 0;
    quint64 compressedSize = 0;
};

// An entry as its central directory record needs it.
struct Placed {
    quint64 offset = 0;
    Facts facts;
    DosTime time;
    bool zip64Sizes = false;
};

quint16 flagsOf(const ZipPendingEntry& entry, const Facts& facts)
{
    // A name of file-system bytes that are not UTF-8 goes without the flag, so that
    // readers take it as the bytes it is.
    const bool utf8 = !isAscii(entry.name) && SystemPath::isUtf8(entry.name);
    return quint16((utf8 ? kFlagUtf8 : 0) | (facts.deflated ? levelFlags(entry.level) : 0));
}

quint16 versionNeeded(const ZipPendingEntry& entry, const Facts& facts, bool zip64)
{
    if (zip64)
        return kVersionZip64;
    return facts.deflated || S_ISDIR(entry.mode) ? kVersionDeflate : kVersionStore;
}

QByteArray localHeader(const ZipPendingEntry& entry, const Placed& placed)
{
    const Facts& facts = placed.facts;
    Bytes header(30 + entry.name.size() + 20);
    header.u32(kLocalSignature)
        .u16(versionNeeded(entry, facts, placed.zip64Sizes))
        .u16(flagsOf(entry, facts))
        .u16(facts.deflated ? kMethodDeflate : kMethodStore)
        .u16(placed.time.time)
        .u16(placed.time.date)
        .u32(facts.crc)
        .u32(placed.zip64Sizes ? kMax32 : facts.compressedSize)
        .u32(placed.zip64Sizes ? kMax32 : entry.size)
        .u16(quint64(entry.name.size()))
        .u16(placed.zip64Sizes ? 20 : 0)
        .raw(entry.name);
    if (placed.zip64Sizes)
        header.u16(kZip64ExtraId).u16(16).u64(entry.size).u64(facts.compressedSize);
    return header.bytes();
}

QByteArray centralRecord(const ZipPendingEntry& entry, const Placed& placed)
{
    const Facts& facts = placed.facts;
    // Sizes kept in a Zip64 field of the local header are kept there here too.
    const bool bigSize = entry.size >= kMax32 || placed.zip64Sizes;
    const bool bigCompressed = facts.compressedSize >= kMax32 || placed.zip64Sizes;
    const bool bigOffset = placed.offset >= kMax32;
    Bytes extra;
    if (bigSize)
        extra.u64(entry.size);
    if (bigCompressed)
        extra.u64(facts.compressedSize);
    if (bigOffset)
        extra.u64(placed.offset);
    const bool zip64 = !extra.bytes().isEmpty() || placed.zip64Sizes;
    const quint32 attributes = (entry.mode << 16) | (S_ISDIR(entry.mode) ? kDosDirectory : 0);

    Bytes record(46 + entry.name.size() + 28);
    record.u32(kCentralSignature)
        .u16(kVersionMadeBy)
        .u16(versionNeeded(entry, facts, zip64))
        .u16(flagsOf(entry, facts))
        .u16(facts.deflated ? kMethodDeflate : kMethodStore)
        .u16(placed.time.time)
        .u16(placed.time.date)
        .u32(facts.crc)
        .u32(bigCompressed ? kMax32 : facts.compressedSize)
        .u32(bigSize ? kMax32 : entry.size)
        .u16(quint64(entry.name.size()))
        .u16(extra.bytes().isEmpty() ? 0 : quint64(extra.bytes().size()) + 4)
        .u16(0)
        .u16(0)
        .u16(0)
        .u32(attributes)
        .u32(bigOffset ? kMax32 : placed.offset)
        .raw(entry.name);
    if (!extra.bytes().isEmpty())
        record.u16(kZip64ExtraId).u16(quint64(extra.bytes().size())).raw(extra.bytes());
    return record.bytes();
}

QByteArray endRecords(quint64 directoryOffset, quint64 directorySize, quint64 count)
{
    Bytes end(98);
    if (count >= kMax16 || directoryOffset >= kMax32 || directorySize >= kMax32) {
        const quint64 zip64EndOffset = directoryOffset + directorySize;
        end.u32(kZip64EndSignature)
            .u64(44)
            .u16(kVersionMadeBy)
            .u16(kVersionZip64)
            .u32(0)
            .u32(0)
            .u64(count)
            .u64(count)
            .u64(directorySize)
            .u64(directoryOffset);
        end.u32(kZip64LocatorSignature).u32(0).u64(zip64EndOffset).u32(1);
    }
    end.u32(kEndSignature)
        .u16(0)
        .u16(0)
        .u16(std::min(count, kMax16))
        .u16(std::min(count, kMax16))
        .u32(std::min(directorySize, kMax32))
        .u32(std::min(directoryOffset, kMax32))
        .u16(0);
    return end.bytes();
}

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

// The archive being written: a new file beside its final path, written in large blocks.
// Headers still in the buffer are amended there; those already written, in place. Its
// temporary name is the final one with a random suffix, which the build switcher sweeps
// after a crash.
class Output {
public:
    bool open(const QString& finalPath)
    {
        StagedFile::Options options;
        options.unnamed = false;
        options.flushOnPublish = true;
        options.temporaryPrefix = QFileInfo(finalPath).fileName() + QLatin1Char('.');
        if (!m_file.open(finalPath, options))
            return false;
        m_buffer.reserve(kOutputBuffer);
        return true;
    }

    quint64 position() const { return m_flushed + quint64(m_buffer.size()); }
    int error() const { return m_file.error(); }

    bool append(const char* data, qint64 size)
    {
        if (size >= kDirectWrite) {
            if (!flush() || !m_file.writeAt(m_flushed, data, size))
                return false;
            m_flushed += quint64(size);
            return true;
        }
        if (m_buffer.size() + size > kOutputBuffer && !flush())
            return false;
        m_buffer.append(data, size);
        return true;
    }
    bool append(const QByteArray& bytes) { return append(bytes.constData(), bytes.size()); }

    bool amend(quint64 offset, const QByteArray& bytes)
    {
        if (offset >= m_flushed) {
            std::memcpy(m_buffer.data() + (offset - m_flushed), bytes.constData(),
                        size_t(bytes.size()));
            return true;
        }
        return m_file.writeAt(offset, bytes.constData(), bytes.size());
    }

    // Flushes the data to the disk, then puts the file in place and flushes its folder.
    bool commit() { return flush() && m_file.publish(); }

private:
    bool flush()
    {
        if (m_buffer.isEmpty())
            return true;
        if (!m_file.writeAt(m_flushed, m_buffer.constData(), m_buffer.size()))
            return false;
        m_flushed += quint64(m_buffer.size());
        m_buffer.resize(0);
        return true;
    }

    StagedFile m_file;
    QByteArray m_buffer;
    quint64 m_flushed = 0;
};

// The data of one entry, piece by piece: read from its file, or taken from memory.
class Source {
public:
    explicit Source(const ZipPendingEntry& entry) : m_entry(entry), m_remaining(entry.size) {}
    ~Source()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    // False with the reason. The file was regular when it was added; opening never waits
    // on what may have taken its place since (a FIFO without a writer).
    bool open(QString* reason)
    {
        if (m_entry.sourcePath.isEmpty())
            return true;
        RegularFile::Failure failure;
        m_fd = RegularFile::openDescriptor(m_entry.sourcePath, &failure);
        if (m_fd < 0) {
            if (reason)
                *reason = ReadFailureText::reason(failure);
            return false;
        }
        ::posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        return true;
    }

    bool atEnd() const { return m_remaining == 0; }

    bool next(QByteArray& piece, int* error)
    {
        const qint64 wanted = qint64(std::min<quint64>(m_remaining, quint64(kPiece)));
        if (m_entry.sourcePath.isEmpty()) {
            piece = QByteArray::fromRawData(m_entry.data.constData() + m_taken, wanted);
        } else {
            piece.resize(wanted);
            qint64 filled = 0;
            while (filled < wanted) {
                const ssize_t count = ::read(m_fd, piece.data() + filled, size_t(wanted - filled));
                if (count < 0 && errno == EINTR)
                    continue;
                if (count <= 0) {
                    *error = count == 0 ? -1 : errno;
                    return false;
                }
                filled += count;
            }
        }
        m_taken += wanted;
        m_remaining -= quint64(wanted);
        return true;
    }

private:
    const ZipPendingEntry& m_entry;
    int m_fd = -1;
    quint64 m_remaining = 0;
    qint64 m_taken = 0;
};

// Raw deflate, one stream per thread, reset between entries.
class Deflater {
public:
    ~Deflater()
    {
        if (m_ready)
            deflateEnd(&m_stream);
    }

    bool start(int level)
    {
        const int zlibLevel = level >= 1 && level <= 9 ? level : Z_DEFAULT_COMPRESSION;
        if (m_ready && zlibLevel == m_level)
            return deflateReset(&m_stream) == Z_OK;
        if (m_ready)
            deflateEnd(&m_stream);
        m_stream = z_stream{};
        m_ready = deflateInit2(&m_stream, zlibLevel, Z_DEFLATED, -MAX_WBITS, 8,
                               Z_DEFAULT_STRATEGY) == Z_OK;
        m_level = zlibLevel;
        return m_ready;
    }

    // Deflates input into output pieces; full pieces go to hand, the last one stays in
    // out. With finish the stream ends.
    template <typename Hand>
    bool feed(const QByteArray& input, bool finish, QByteArray& out, const Hand& hand)
    {
        m_stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.constData()));
        m_stream.avail_in = uInt(input.size());
        for (;;) {
            if (out.size() == out.capacity() || out.isEmpty()) {
                if (!out.isEmpty() && !hand(std::exchange(out, QByteArray())))
                    return false;
                out.reserve(kPiece);
            }
            const qsizetype used = out.size();
            out.resize(out.capacity());
            m_stream.next_out = reinterpret_cast<Bytef*>(out.data() + used);
            m_stream.avail_out = uInt(out.size() - used);
            const int status = deflate(&m_stream, finish ? Z_FINISH : Z_NO_FLUSH);
            out.resize(out.size() - qsizetype(m_stream.avail_out));
            if (status == Z_STREAM_END)
                return true;
            if (status != Z_OK && status != Z_BUF_ERROR)
                return false;
            if (!finish && m_stream.avail_in == 0 && m_stream.avail_out > 0)
                return true;
        }
    }

    // The whole input deflated, or empty when that fails.
    QByteArray whole(const QByteArray& input)
    {
        QByteArray out(qsizetype(deflateBound(&m_stream, uLong(input.size()))), Qt::Uninitialized);
        m_stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.constData()));
        m_stream.avail_in = uInt(input.size());
        m_stream.next_out = reinterpret_cast<Bytef*>(out.data());
        m_stream.avail_out = uInt(out.size());
        if (deflate(&m_stream, Z_FINISH) != Z_STREAM_END)
            return {};
        out.resize(out.size() - qsizetype(m_stream.avail_out));
        return out;
    }

private:
    z_stream m_stream{};
    bool m_ready = false;
    int m_level = 0;
};

// Prepared data of one entry on its way to the writer.
struct Slot {
    std::vector<QByteArray> pieces;
    bool done = false;
    Facts facts;
    bool failed = false;
    // Why the source could not be read: an errno value, -1 for a file that shrank; 0 when
    // deflating failed or the reason below says why it could not be opened.
    int sourceError = 0;
    QString openFailure;
};

// Entries are prepared in archive order by helper threads, each taking the next one, and
// handed to the writing thread, which takes them in the same order. A helper preparing an
// entry ahead of the writer waits while too much prepared data is waiting already; the
// entry being written never waits, so the writer always gets on.
class Pipeline {
public:
    explicit Pipeline(const std::vector<ZipPendingEntry>& entries)
        : m_entries(entries), m_slots(entries.size())
    {
        const int threads = std::clamp(QThread::idealThreadCount(), 1, kMaxPreparingThreads);
        const size_t helpers = std::clamp<size_t>(entries.size(), 1, size_t(threads));
        for (size_t i = 0; i < helpers; ++i)
            m_helpers.emplace_back([this] { prepareEntries(); });
    }

    ~Pipeline()
    {
        {
            const std::lock_guard<std::mutex> guard(m_lock);
            m_stop = true;
        }
        m_helpersWake.notify_all();
        for (std::thread& helper : m_helpers)
            helper.join();
    }

    // Writer side: what was prepared of entry index since the last call. Waits until
    // something is there; the result is a copy of the slot with its pieces moved out.
    Slot take(size_t index)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        if (m_writing != index) {
            m_writing = index;
            m_helpersWake.notify_all();
        }
        Slot& slot = m_slots[index];
        m_writerWake.wait(lock, [&] { return slot.done || !slot.pieces.empty(); });
        Slot taken;
        taken.pieces.swap(slot.pieces);
        taken.done = slot.done;
        taken.facts = slot.facts;
        taken.sourceError = slot.sourceError;
        taken.openFailure = slot.openFailure;
        taken.failed = slot.failed;
        const bool wasFull = m_waiting >= kWaitingLimit;
        for (const QByteArray& piece : taken.pieces)
            m_waiting -= piece.size();
        if (wasFull && m_waiting < kWaitingLimit)
            m_helpersWake.notify_all();
        return taken;
    }

private:
    void prepareEntries()
    {
        Deflater deflater;
        for (;;) {
            size_t index = 0;
            {
                std::unique_lock<std::mutex> lock(m_lock);
                m_helpersWake.wait(lock, [&] {
                    return m_stop || m_next >= m_slots.size() || m_next < m_writing + kEntriesAhead;
                });
                if (m_stop || m_next >= m_slots.size())
                    return;
                index = m_next++;
            }
            prepare(index, deflater);
        }
    }

    void prepare(size_t index, Deflater& deflater)
    {
        const ZipPendingEntry& entry = m_entries[index];
        Source source(entry);
        QString openFailure;
        if (!source.open(&openFailure))
            return fail(index, 0, openFailure);
        int error = 0;
        const bool deflate = entry.deflate && entry.size > 0;
        if (deflate && !deflater.start(entry.level))
            return failDeflating(index);
        if (entry.size <= quint64(kPiece))
            return prepareWhole(index, source, deflate ? &deflater : nullptr);

        Facts facts;
        facts.deflated = deflate;
        QByteArray piece;
        QByteArray out;
        const auto hand = [&](QByteArray&& bytes) {
            facts.compressedSize += quint64(bytes.size());
            return handOver(index, std::move(bytes), nullptr);
        };
        while (!source.atEnd()) {
            if (!source.next(piece, &error))
                return fail(index, error);
            facts.crc =
                quint32(crc32_z(facts.crc, reinterpret_cast<const Bytef*>(piece.constData()),
                                size_t(piece.size())));
            const bool last = source.atEnd();
            if (deflate ? !deflater.feed(piece, last, out, hand) : !hand(std::move(piece)))
                return failDeflating(index);
        }
        facts.compressedSize += quint64(out.size());
        handOver(index, std::move(out), &facts);
    }

    // Entries up to a piece in size are read whole, and stored when deflating them does
    // not make them smaller.
    void prepareWhole(size_t index, Source& source, Deflater* deflater)
    {
        QByteArray data;
        int error = 0;
        if (!source.atEnd() && !source.next(data, &error))
            return fail(index, error);
        Facts facts;
        facts.crc = quint32(
            crc32_z(0, reinterpret_cast<const Bytef*>(data.constData()), size_t(data.size())));
        if (deflater) {
            QByteArray packed = deflater->whole(data);
            if (!packed.isEmpty() && packed.size() < data.size()) {
                data = std::move(packed);
                facts.deflated = true;
            }
        }
        facts.compressedSize = quint64(data.size());
        handOver(index, std::move(data), &facts);
    }

    // Adds a piece of entry index, and with facts ends it. Returns false once the
    // archive is being abandoned.
    bool handOver(size_t index, QByteArray&& piece, const Facts* facts)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_helpersWake.wait(
            lock, [&] { return m_stop || index == m_writing || m_waiting < kWaitingLimit; });
        if (m_stop)
            return false;
        Slot& slot = m_slots[index];
        if (!piece.isEmpty()) {
            m_waiting += piece.size();
            slot.pieces.push_back(std::move(piece));
        }
        if (facts) {
            slot.facts = *facts;
            slot.done = true;
        }
        if (index == m_writing)
            m_writerWake.notify_one();
        return true;
    }

    void fail(size_t index, int sourceError, const QString& openFailure = QString())
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        Slot& slot = m_slots[index];
        slot.failed = true;
        slot.done = true;
        slot.sourceError = sourceError;
        slot.openFailure = openFailure;
        m_writerWake.notify_one();
    }

    // zlib fails only for want of memory; a hand-over refused because the archive is
    // abandoned ends here too, and then nobody reads the slot any more.
    void failDeflating(size_t index) { fail(index, 0); }

    const std::vector<ZipPendingEntry>& m_entries;
    std::mutex m_lock;
    std::condition_variable m_helpersWake;
    std::condition_variable m_writerWake;
    std::vector<Slot> m_slots;
    std::vector<std::thread> m_helpers;
    size_t m_next = 0;
    size_t m_writing = 0;
    qint64 m_waiting = 0;
    bool m_stop = false;
};

// Reports the fraction written in steps of a thousandth, as a progress bar shows it.
class ProgressReport {
public:
    ProgressReport(const ZipArchiveWriter::Progress& progress, size_t count)
        : m_progress(progress), m_count(double(std::max<size_t>(count, 1)))
    {
    }

    void at(size_t index, quint64 written, quint64 size, bool done)
    {
        const double within = done || size == 0 ? 1.0 : std::min(0.999, double(written) / size);
        report((double(index) + within) / m_count);
    }

    void started() { report(0.0); }

    void finished()
    {
        if (m_progress)
            m_progress(1.0);
    }

private:
    void report(double fraction)
    {
        if (!m_progress || fraction < m_last + 0.001 || fraction >= 1.0)
            return;
        m_last = fraction;
        m_progress(fraction);
    }

    const ZipArchiveWriter::Progress& m_progress;
    double m_count;
    double m_last = -1;
};

// One archive being written: entries in order as the pipeline prepares them, then the
// central directory.
class ArchiveWriting {
public:
    ArchiveWriting(const QString& path, const std::vector<ZipPendingEntry>& entries,
                   const ZipArchiveWriter::Progress& progress,
                   const ZipArchiveWriter::CancelCheck& cancel)
        : m_path(path), m_entries(entries), m_placed(entries.size()),
          m_report(progress, entries.size()), m_cancel(cancel)
    {
    }

    Result run()
    {
        if (!m_output.open(m_path))
            return writeFailed(m_output.error());
        m_report.started();
        {
            Pipeline pipeline(m_entries);
            for (size_t index = 0; index < m_entries.size(); ++index) {
                const Result result = writeEntry(pipeline, index);
                if (result.outcome != Outcome::Written)
                    return result;
            }
        }
        if (!writeDirectory() || !m_output.commit())
            return writeFailed(m_output.error());
        m_report.finished();
        return {};
    }

private:
    // An entry prepared whole gets its final header at once; a larger one is deflated or
    // stored as asked, and its header amended once its checksum and size are known.
    Result writeEntry(Pipeline& pipeline, size_t index)
    {
        const ZipPendingEntry& entry = m_entries[index];
        Placed& place = m_placed[index];
        place.offset = m_output.position();
        place.time = dosTime(entry.modified);
        place.zip64Sizes = mayNeedZip64Sizes(entry.size);
        bool amend = false;
        quint64 written = 0;
        for (bool first = true;; first = false) {
            if (m_cancel && m_cancel())
                return {Outcome::Cancelled, m_path, QString()};
            const Slot slot = pipeline.take(index);
            if (slot.failed)
                return slot.sourceError == 0 && slot.openFailure.isEmpty()
                           ? writeFailed(ENOMEM)
                           : sourceFailed(entry, slot);
            if (first) {
                amend = !slot.done;
                if (slot.done)
                    place.facts = slot.facts;
                else
                    place.facts.deflated = entry.deflate;
                if (!m_output.append(localHeader(entry, place)))
                    return writeFailed(m_output.error());
            }
            for (const QByteArray& piece : slot.pieces) {
                if (!m_output.append(piece))
                    return writeFailed(m_output.error());
                written += quint64(piece.size());
                m_report.at(index, written, entry.size, false);
            }
            if (slot.done)
                return finishEntry(index, slot.facts, written, amend);
        }
    }

    Result finishEntry(size_t index, const Facts& facts, quint64 written, bool amend)
    {
        Placed& place = m_placed[index];
        if (facts.compressedSize != written || (!place.zip64Sizes && written >= kMax32))
            return writeFailed(EFBIG);
        if (amend) {
            place.facts = facts;
            if (!m_output.amend(place.offset, localHeader(m_entries[index], place)))
                return writeFailed(m_output.error());
        }
        m_report.at(index, written, m_entries[index].size, true);
        return {};
    }

    bool writeDirectory()
    {
        const quint64 directoryOffset = m_output.position();
        for (size_t index = 0; index < m_entries.size(); ++index) {
            if (!m_output.append(centralRecord(m_entries[index], m_placed[index])))
                return false;
        }
        const quint64 directorySize = m_output.position() - directoryOffset;
        return m_output.append(endRecords(directoryOffset, directorySize, m_entries.size()));
    }

    Result writeFailed(int error) const
    {
        return {Outcome::WriteFailed, m_path, systemError(error)};
    }

    static Result sourceFailed(const ZipPendingEntry& entry, const Slot& slot)
    {
        if (!slot.openFailure.isEmpty())
            return {Outcome::SourceFailed, entry.sourcePath, slot.openFailure};
        return {Outcome::SourceFailed, entry.sourcePath,
                slot.sourceError < 0 ? QString() : systemError(slot.sourceError)};
    }

    const QString m_path;
    const std::vector<ZipPendingEntry>& m_entries;
    std::vector<Placed> m_placed;
    Output m_output;
    ProgressReport m_report;
    const ZipArchiveWriter::CancelCheck& m_cancel;
};

} // namespace

namespace ZipArchiveWriter {

Result write(const QString& path, const std::vector<ZipPendingEntry>& entries,
             const Progress& progress, const CancelCheck& cancel)
{
    return ArchiveWriting(path, entries, progress, cancel).run();
}

} // namespace ZipArchiveWriter
