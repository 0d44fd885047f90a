#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QObject;
struct DownloadTarget;

// The disk side of a download. It opens a staged file in the target's folder, writes
// and hashes the bytes the transfer hands over, then verifies and commits the file,
// in the order it was asked, on a shared pool of worker threads: the thread that
// receives the bytes only passes them on, however slow the disk.
//
// Every attempt (from open() on) ends with exactly one report, delivered on the
// context object's thread: an early failure (the file or a write; the
// attempt's later bytes are dropped and close() reports nothing more) or the outcome
// of close(). A report can arrive after the owner moved on; the attempt number tells.
// A failure of the disk comes with the system's reason where the system gave one.
class DownloadFile {
public:
    enum class Result {
        Saved,        // verified, brought to the disk, then given its name
        OpenFailed,   // the save-file could not be opened
        WriteFailed,  // the disk took fewer bytes than it was given
        Mismatch,     // the digest differs (or is missing where it is required)
        CommitFailed, // the verified file could not take its name
    };
    // `reason`: the system's text for the failure (OpenFailed, WriteFailed,
    // CommitFailed); empty when there is none.
    using ReportHandler =
        std::function<void(int attempt, DownloadFile::Result result, const QString& reason)>;

    // Bytes handed over and not yet written, beyond which write() asks the caller to
    // hold back: the network then waits in the reply's own bounded buffer.
    static constexpr qint64 kPendingLimit = 1024 * 1024;
    // Work is handed to the workers in lumps of at least this many bytes (or at the
    // file's end): waking a worker costs more than the bytes of a small file.
    static constexpr qint64 kDispatchBytes = 256 * 1024;

    // `report` and `room` are called on `context`'s thread, and not once `context`
    // is gone.
    DownloadFile(const DownloadTarget& target, QObject* context, ReportHandler report,
                 std::function<void()> room);
    // Drops what is not yet done and discards the attempt's file (see discardNow).
    ~DownloadFile();
    DownloadFile(const DownloadFile&) = delete;
    DownloadFile& operator=(const DownloadFile&) = delete;

    // Starts an attempt: a fresh staged file and a fresh digest.
    void open(int attempt);
    // Passes bytes to the attempt's file. False when the bytes waiting for the disk
    // reached kPendingLimit: the caller stops reading until `room` is called.
    bool write(const QByteArray& bytes);
    // The last bytes are in: the file is verified against the target's digest and,
    // when it matches, committed: flushed to the disk together with the other files
    // waiting for it, then named.
    void close();
    // The attempt is given up: its file is discarded once the work before it is done.
    void discard();
    // The attempt is given up at once: work not yet begun is dropped, work under way
    // is waited for, and the partial file is gone when this returns. A commit already
    // under way completes, so the file may then stand under its name.
    void discardNow();

    // Tests only: holds every worker back before its next piece of work while true, so
    // that bytes can be caught waiting for the disk.
    static void holdWorkersForTesting(bool hold);
    // Tests only: the next flush waits, a few seconds at most, until `files` verified files
    // wait for it, so that files verified one after another are flushed together.
    static void gatherNextFlushForTesting(int files);
    // Tests only: waits for the work under way and lets every worker thread end, so that
    // a child process forked next starts without threads it would wait for in vain.
    static void endWorkersForTesting();

    // The worker-side state, shared with the pool's work.
    struct Shared;

private:
    void collect(std::function<void(Shared&)> job, qint64 bytes = 0);
    void dispatch();
    void dropCollected();

    std::shared_ptr<Shared> m_shared;
    std::vector<std::function<void(Shared&)>> m_collected; // not yet handed over
    qint64 m_collectedBytes = 0;
};
