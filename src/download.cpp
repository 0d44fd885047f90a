#include "download.h"

#include "filetransfer.h"
#include "folders.h"
#include "networkthread.h"
#include "noticethrottle.h"
#include "ownerlink.h"

#include <QFileInfo>

#include <utility>

// The network thread's side of a download: runs its transfer and tells the download
// what happens, from the thread, through its event loop, for as long as the download
// is there to hear it. Made on the owner's thread, touched on the network thread only
// from begin() on, and deleted there.
class Download::Relay {
public:
    Relay(Download* owner, NetworkThread* thread, const QObject* network,
          const DownloadTarget& target, const HttpRequest::Recipe& recipe, const RetryRule& retry)
        : m_owner(owner), m_link(std::make_shared<OwnerLink>(owner)), m_thread(thread),
          m_network(network), m_target(target), m_recipe(recipe), m_retry(retry)
    {
    }

    void begin()
    {
        m_manager = m_thread->manager(m_network, 0);
        // Progress reaches the owner a few dozen times a second; the last figures always do.
        m_progress = std::make_unique<NoticeThrottle>([this] { sendProgress(); });
        m_transfer = std::make_unique<FileTransfer>(m_manager.get(), m_target, m_recipe, m_retry);
        FileTransfer* transfer = m_transfer.get();
        QObject::connect(transfer, &FileTransfer::progress, transfer,
                         [this](qint64 received, qint64 total) {
                             m_transferred = received;
                             m_total = total;
                             m_progress->note();
                         });
        QObject::connect(transfer, &FileTransfer::taken, transfer, [this] { m_progress->note(); });
        QObject::connect(transfer, &FileTransfer::committing, transfer, [this] {
            m_progress->flush();
            tell([](Download* owner) { owner->relayCommitting(); });
        });
        QObject::connect(transfer, &FileTransfer::retrying, transfer,
                         [this] { tell([](Download* owner) { owner->relayRetrying(); }); });
        QObject::connect(transfer, &FileTransfer::ended, transfer, [this] {
            m_progress->flush();
            tell([summary = m_transfer->summary()](Download* owner) { owner->relayEnd(summary); });
        });
        m_transfer->begin();
    }

    // Nothing more reaches the owner; called on the owner's thread as it goes.
    void forgetOwner() { m_link->cut(); }

    // The file is being committed or has taken its name, whatever the owner has heard.
    bool reachedCommit() const
    {
        return m_transfer && (m_transfer->isCommitting() ||
                              m_transfer->summary().outcome == Download::Outcome::Saved);
    }

private:
    template <typename Notice> void tell(Notice notice)
    {
        m_link->tell([owner = m_owner, notice = std::move(notice)] { notice(owner); });
    }

    void sendProgress()
    {
        tell([received = m_transfer->received(), transferred = m_transferred, total = m_total](
                 Download* owner) { owner->relayProgress(received, transferred, total); });
    }

    Download* const m_owner;
    const std::shared_ptr<OwnerLink> m_link;
    NetworkThread* const m_thread;
    const QObject* const m_network;
    const DownloadTarget m_target;
    const HttpRequest::Recipe m_recipe;
    const RetryRule m_retry;
    // Declared so that the transfer goes first and its manager last.
    std::shared_ptr<QNetworkAccessManager> m_manager;
    std::unique_ptr<NoticeThrottle> m_progress;
    std::unique_ptr<FileTransfer> m_transfer;
    qint64 m_transferred = 0;
    qint64 m_total = -1;
};

Download::Download(DownloadTarget target, QObject* parent)
    : QObject(parent), m_target(std::move(target))
{
}

Download::~Download()
{
    stopRelay();
}

Download* Download::start(QNetworkAccessManager* network, DownloadTarget target,
                          const HttpRequest::Recipe& recipe, const RetryRule& retry,
                          QObject* parent, QString* error)
{
    if (!Folders::make(QFileInfo(target.path).absolutePath(), error))
        return nullptr;
    auto* download = new Download(std::move(target), parent);
    download->m_thread = NetworkThread::acquire();
    if (network)
        download->m_thread->follow(network);
    Relay* relay =
        new Relay(download, download->m_thread.get(), network, download->m_target, recipe, retry);
    download->m_relay = relay;
    download->m_thread->post([relay] { relay->begin(); });
    return download;
}

QString Download::Summary::failureMessage(const FailureWords& words) const
{
    if (fault == Fault::Checksum && !words.checksum.isEmpty())
        return words.checksum;
    if (isDiskFault())
        return words.disk.isEmpty() ? errorText : words.disk;
    return words.transfer ? words.transfer(errorText) : errorText;
}

void Download::cancel()
{
    if (!isRunning())
        return;
    // Bytes still on their way to the disk are dropped with the partial file; a commit
    // under way is let finish first (see FileTransfer).
    // The owner hears of the commit a moment after the network thread starts it.
    m_canceledDuringCommit = stopRelay() || m_state == State::Committing;
    m_state = State::Ended;
    m_summary.outcome = Outcome::Canceled;
    m_summary.fault = Fault::None;
    m_summary.errorText.clear();
    emit ended();
}

// What the relay has told and this has not yet heard is dropped with it. A transfer
// that still runs is stopped before this returns, so that its partial file is gone; one
// that has told its end has settled its file, and goes with the network thread's next
// turn, the interface not waiting for it.
bool Download::stopRelay()
{
    Relay* relay = std::exchange(m_relay, nullptr);
    if (!relay)
        return false;
    relay->forgetOwner();
    if (!isRunning()) {
        m_thread->post([relay] { delete relay; });
        return false;
    }
    bool reachedCommit = false;
    m_thread->run([relay, &reachedCommit] {
        reachedCommit = relay->reachedCommit();
        delete relay;
    });
    return reachedCommit;
}

void Download::relayProgress(qint64 received, qint64 transferred, qint64 total)
{
    if (!isRunning())
        return;
    m_summary.received = received;
    emit progress(transferred, total);
}

void Download::relayCommitting()
{
    if (!isRunning())
        return;
    m_state = State::Committing;
    emit committing();
}

void Download::relayRetrying()
{
    if (isRunning())
        m_state = State::Running;
}

void Download::relayEnd(const Summary& summary)
{
    if (!isRunning())
        return;
    m_state = State::Ended;
    m_summary = summary;
    emit ended();
}
