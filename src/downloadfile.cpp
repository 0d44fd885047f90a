#include "downloadfile.h"

#include "digest.h"
#include "downloadtarget.h"
#include "stagedfile.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QMetaObject>
#include <QMutex>
#include <QObject>
#include <QThreadPool>
#include <QWaitCondition>

#include <algorithm>
#include <atomic>
#include <deque>
#include <utility>
#include <vector>

namespace {

// Opening, writing and hashing run on workers, so the thread that talks to the
// network stays free; eight transfers at a time keep as many busy at most, and the
// flushes (which can stall for a long while on a busy disk) take one more.
constexpr int kFileThreads = 9;

class FilePool : public QThreadPool {
public:
    FilePool() { setMaxThreadCount(kFileThreads); }
};

QThreadPool& filePool()
{
    static FilePool pool;
    return pool;
}

// How long a flush waits for the files a test asked it to gather.
constexpr int kGatherLimitMs = 20000;

// The test seam that holds workers back.
struct Hold {
    QMutex mutex;
    QWaitCondition released;
    std::atomic_bool held = false;
};

Hold& workerHold()
{
    static Hold hold;
    return hold;
}

void waitWhileHeld()
{
    Hold& hold = workerHold();
    if (!hold.held)
        return;
    QMutexLocker lock(&hold.mutex);
    while (hold.held)
        hold.released.wait(&hold.mutex);
}

} // namespace

struct DownloadFile::Shared {
    Shared(const DownloadTarget& target, QObject* context, ReportHandler report,
           std::function<void()> room)
        : path(target.path), digestHex(target.digest), digestCase(target.digestCase),
          digestRequired(target.digestRequired), context(context), report(std::move(report)),
          room(std::move(room)), algorithm(target.algorithm)
    {
    }

    using Job = std::function<void(Shared&)>;

    // Fixed at construction.
    const QString path;
    const QString digestHex;
    const Qt::CaseSensitivity digestCase;
    const bool digestRequired;
    QObject* const context;
    const ReportHandler report;
    const std::function<void()> room;

    // The work not yet begun, in order; a drain on the pool is scheduled while any is.
    QMutex mutex;
    QWaitCondition idle;
    std::deque<Job> jobs;
    bool scheduled = false;
    bool running = false;

    // Bytes handed over and not yet written, and whether the owner waits for room.
    std::atomic<qint64> pending = 0;
    std::atomic_bool waitingForRoom = false;

    // Touched by the job that runs, by the flush that has the file, or by the owner
    // once neither can.
    StagedFile file;
    std::unique_ptr<Digest> digest; // made by the first attempt's worker
    const QCryptographicHash::Algorithm algorithm;
    int attempt = 0;
    bool settled = false; // the attempt has reported, or was given up

    void enqueue(std::shared_ptr<Shared> self, std::vector<Job> more);
    void drain();
    void stopWork();
    void post(Result result, const QString& reason = {});
    void fail(Result result);
    void start(int number);
    void append(const QByteArray& bytes);
    bool digestMatches();
    void finish(std::shared_ptr<Shared> self);
    void publish(bool flushed);
};

namespace {

// Verified files wait here for the disk. Whoever flushes takes every file waiting,
// brings them all to the disk with one flush of their file system, and only then
// names them: a file under its name has its bytes on the disk, and a thousand small
// files cost a few flushes instead of a thousand.
class FlushQueue {
public:
    void submit(std::shared_ptr<DownloadFile::Shared> file)
    {
        QMutexLocker lock(&m_mutex);
        m_waiting.push_back(std::move(file));
        m_arrived.wakeAll();
        if (m_running)
            return;
        m_running = true;
        lock.unlock();
        filePool().start([this] { run(); });
    }

    // Takes a waiting file back. A file being flushed stays: this waits for its
    // flush to end, after which it stands under its name.
    void withdraw(const DownloadFile::Shared* file)
    {
        QMutexLocker lock(&m_mutex);
        const auto is = [file](const auto& entry) { return entry.get() == file; };
        const auto waiting = std::find_if(m_waiting.begin(), m_waiting.end(), is);
        if (waiting != m_waiting.end()) {
            m_waiting.erase(waiting);
            return;
        }
        while (std::any_of(m_flushing.begin(), m_flushing.end(), is))
            m_flushed.wait(&m_mutex);
    }

    void gatherNextForTesting(int files)
    {
        QMutexLocker lock(&m_mutex);
        m_gathering = files;
    }

private:
    void run()
    {
        for (;;) {
            waitWhileHeld();
            QMutexLocker lock(&m_mutex);
            gatherAsAsked();
            if (m_waiting.empty()) {
                m_running = false;
                return;
            }
            m_flushing = std::exchange(m_waiting, {});
            lock.unlock();
            QList<StagedFile*> files;
            files.reserve(qsizetype(m_flushing.size()));
            for (const auto& entry : m_flushing)
                files.append(&entry->file);
            // A file whose own file system flushed it is on the disk, whatever another
            // file system's flush said.
            StagedFile::flushTogether(files);
            for (const auto& entry : m_flushing)
                entry->publish(entry->file.error() == 0);
            lock.relock();
            m_flushing.clear();
            m_flushed.wakeAll();
        }
    }

    // With m_mutex held. A test that wants files flushed together gets them together, or
    // after a while whatever has come.
    void gatherAsAsked()
    {
        const auto wanted = std::size_t(std::exchange(m_gathering, 0));
        const QDeadlineTimer deadline(kGatherLimitMs);
        while (m_waiting.size() < wanted && m_arrived.wait(&m_mutex, deadline)) {
        }
    }

    QMutex m_mutex;
    QWaitCondition m_flushed;
    QWaitCondition m_arrived;
    std::vector<std::shared_ptr<DownloadFile::Shared>> m_waiting;
    std::vector<std::shared_ptr<DownloadFile::Shared>> m_flushing;
    bool m_running = false;
    int m_gathering = 0; // files the next flush waits for, for a test
};

FlushQueue& flushQueue()
{
    static FlushQueue queue;
    return queue;
}

} // namespace

void DownloadFile::Shared::enqueue(std::shared_ptr<Shared> self, std::vector<Job> more)
{
    QMutexLocker lock(&mutex);
    for (Job& job : more)
        jobs.push_back(std::move(job));
    if (scheduled)
        return;
    scheduled = true;
    lock.unlock();
    filePool().start([self = std::move(self)] { self->drain(); });
}

void DownloadFile::Shared::drain()
{
    for (;;) {
        waitWhileHeld();
        QMutexLocker lock(&mutex);
        if (jobs.empty()) {
            scheduled = false;
            return;
        }
        Job job = std::move(jobs.front());
        jobs.pop_front();
        running = true;
        lock.unlock();
        job(*this);
        lock.relock();
        running = false;
        idle.wakeAll();
    }
}

// Drops the work not yet begun and waits for the work under way, the file's flush
// included.
void DownloadFile::Shared::stopWork()
{
    {
        QMutexLocker lock(&mutex);
        jobs.clear();
        while (running)
            idle.wait(&mutex);
    }
    flushQueue().withdraw(this);
}

void DownloadFile::Shared::post(Result result, const QString& reason)
{
    settled = true;
    QMetaObject::invokeMethod(
        context,
        [handler = report, attempt = attempt, result, reason] { handler(attempt, result, reason); },
        Qt::QueuedConnection);
}

void DownloadFile::Shared::fail(Result result)
{
    file.discard();
    post(result, file.error() != 0 ? file.errorString() : QString());
}

void DownloadFile::Shared::start(int number)
{
    attempt = number;
    settled = false;
    file.discard();
    if (digest)
        digest->reset();
    else
        digest = std::make_unique<Digest>(algorithm);
    if (!file.open(path))
        fail(Result::OpenFailed);
}

void DownloadFile::Shared::append(const QByteArray& bytes)
{
    if (file.isOpen() && !settled) {
        digest->addData(bytes);
        if (!file.write(bytes))
            fail(Result::WriteFailed);
    }
    const qint64 left = pending.fetch_sub(bytes.size()) - bytes.size();
    if (left < kPendingLimit && waitingForRoom.exchange(false))
        QMetaObject::invokeMethod(context, room, Qt::QueuedConnection);
}

bool DownloadFile::Shared::digestMatches()
{
    const QByteArray actual = digest->result();
    if (digestHex.isEmpty())
        return !digestRequired;
    return QString::fromLatin1(actual.toHex()).compare(digestHex, digestCase) == 0;
}

void DownloadFile::Shared::finish(std::shared_ptr<Shared> self)
{
    if (!file.isOpen() || settled)
        return;
    if (!digestMatches()) {
        fail(Result::Mismatch);
        return;
    }
    flushQueue().submit(std::move(self));
}

void DownloadFile::Shared::publish(bool flushed)
{
    if (flushed && file.publish())
        post(Result::Saved);
    else
        fail(Result::CommitFailed);
}

DownloadFile::DownloadFile(const DownloadTarget& target, QObject* context, ReportHandler report,
                           std::function<void()> room)
    : m_shared(std::make_shared<Shared>(target, context, std::move(report), std::move(room)))
{
}

DownloadFile::~DownloadFile()
{
    discardNow();
}

void DownloadFile::collect(std::function<void(Shared&)> job, qint64 bytes)
{
    m_collected.push_back(std::move(job));
    m_collectedBytes += bytes;
}

void DownloadFile::dispatch()
{
    m_collectedBytes = 0;
    m_shared->enqueue(m_shared, std::exchange(m_collected, {}));
}

void DownloadFile::dropCollected()
{
    m_shared->pending -= m_collectedBytes;
    m_collectedBytes = 0;
    m_collected.clear();
}

void DownloadFile::open(int attempt)
{
    collect([attempt](Shared& shared) { shared.start(attempt); });
}

bool DownloadFile::write(const QByteArray& bytes)
{
    Shared& shared = *m_shared;
    const qint64 pending = shared.pending.fetch_add(bytes.size()) + bytes.size();
    collect([bytes](Shared& shared) { shared.append(bytes); }, bytes.size());
    if (m_collectedBytes >= kDispatchBytes || pending >= kPendingLimit)
        dispatch();
    if (pending < kPendingLimit)
        return true;
    shared.waitingForRoom = true;
    // The workers may have made room before the flag was up; then no call comes.
    return shared.pending < kPendingLimit && shared.waitingForRoom.exchange(false);
}

void DownloadFile::close()
{
    collect([self = m_shared](Shared& shared) { shared.finish(self); });
    dispatch();
}

void DownloadFile::discard()
{
    dropCollected();
    collect([](Shared& shared) {
        flushQueue().withdraw(&shared);
        shared.file.discard();
        shared.settled = true;
    });
    dispatch();
}

void DownloadFile::discardNow()
{
    dropCollected();
    Shared& shared = *m_shared;
    shared.stopWork();
    shared.file.discard();
    shared.settled = true;
    shared.pending = 0;
    shared.waitingForRoom = false;
}

void DownloadFile::holdWorkersForTesting(bool hold)
{
    Hold& state = workerHold();
    QMutexLocker lock(&state.mutex);
    state.held = hold;
    if (!hold)
        state.released.wakeAll();
}

void DownloadFile::gatherNextFlushForTesting(int files)
{
    flushQueue().gatherNextForTesting(files);
}

void DownloadFile::endWorkersForTesting()
{
    filePool().waitForDone();
}
