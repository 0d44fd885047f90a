#include "transferbatch.h"

#include "filetransfer.h"
#include "folders.h"
#include "networkthread.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QUrl>

#include <algorithm>
#include <utility>

namespace {

// A network manager opens at most six connections to a host over HTTP/1.1.
constexpr int kConnectionsPerManager = 6;
} // namespace

TransferBatch::TransferBatch(NetworkThread* thread, const QObject* network,
                             const HttpRequest::Recipe& recipe, const RetryRule& retry,
                             Reporter reporter)
    : m_thread(thread), m_network(network), m_recipe(recipe), m_retry(retry),
      m_reporter(std::move(reporter)), m_notices([this] { send(); })
{
}

TransferBatch::~TransferBatch()
{
    stopAll();
}

void TransferBatch::add(quint64 generation, Limits limits, std::vector<Item> items)
{
    if (generation != m_generation)
        clear(generation);
    if (m_failed)
        return;
    m_limits = limits;
    for (Item& item : items)
        m_waiting.push_back(std::move(item));
    fill();
}

void TransferBatch::clear(quint64 generation)
{
    stopAll();
    m_generation = generation;
    m_failed = false;
}

void TransferBatch::connectAhead(quint64 generation, Limits limits, const QList<QUrl>& origins)
{
    if (generation != m_generation)
        clear(generation);
    QSet<QUrl> distinct;
    for (const QUrl& origin : origins)
        distinct.insert(origin.adjusted(QUrl::RemovePath | QUrl::RemoveQuery));
    for (int lane = 0; lane < lanesFor(limits.transfers); ++lane) {
        for (const QUrl& origin : std::as_const(distinct))
            m_ahead.open(network(lane), origin);
    }
}

void TransferBatch::stopAll()
{
    // Each transfer stops as it goes; a commit under way is waited for.
    m_running.clear();
    m_waiting.clear();
    m_madeFolders.clear();
    m_report = {};
    m_notices.reset();
    giveUpConnectionsAhead();
}

// A connection made ahead and never taken sits idle in its lane's manager: the manager is
// let go, which closes it with the lane's other idle connections (and ends what is left
// of the stopped transfers' requests), and the lane takes a new one when it is next used.
void TransferBatch::giveUpConnectionsAhead()
{
    for (QNetworkAccessManager* idle : m_ahead.giveUp()) {
        for (int lane = 0; lane < NetworkThread::kLanes; ++lane) {
            std::shared_ptr<QNetworkAccessManager>& network = m_networks.at(std::size_t(lane));
            if (network.get() == idle) {
                network.reset();
                m_thread->dropManager(m_network, lane);
            }
        }
    }
}

void TransferBatch::fill()
{
    const qsizetype most = qsizetype(m_limits.transfers) + m_limits.commits;
    while (!m_failed && !m_waiting.empty() && transferring() < m_limits.transfers &&
           qsizetype(m_running.size()) < most)
        startNext();
}

// The listed downloads that still need the network (or wait to try it again).
qsizetype TransferBatch::transferring() const
{
    return std::count_if(m_running.cbegin(), m_running.cend(),
                         [](const Entry& entry) { return !entry.transfer->isCommitting(); });
}

void TransferBatch::startNext()
{
    Item item = std::move(m_waiting.front());
    m_waiting.pop_front();
    QString error;
    if (!makeFolder(item.target.path, &error)) {
        fail({item.payload, {Download::Outcome::Failed, Download::Fault::Open, error, {}, 0}});
        return;
    }
    m_report.started = item.payload;
    m_running.push_back({std::move(item), nullptr});
    const Entries::iterator entry = std::prev(m_running.end());
    QNetworkAccessManager* network = nextNetwork();
    m_ahead.take(network, entry->item.target.url);
    entry->transfer =
        std::make_unique<FileTransfer>(network, entry->item.target, m_recipe, m_retry);
    FileTransfer* transfer = entry->transfer.get();
    QObject::connect(transfer, &FileTransfer::taken, transfer, [this] { m_notices.note(); });
    QObject::connect(transfer, &FileTransfer::committing, transfer, [this] {
        fill();
        m_notices.note();
    });
    QObject::connect(transfer, &FileTransfer::ended, transfer,
                     [this, entry] { handleEnded(entry); });
    transfer->begin();
    m_notices.note();
}

// Asset objects share a few hundred folders: each is made once while the work lasts.
bool TransferBatch::makeFolder(const QString& path, QString* error)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (m_madeFolders.contains(folder))
        return true;
    if (!Folders::make(folder, error))
        return false;
    m_madeFolders.insert(folder);
    return true;
}

// Past what one network manager connects to a host at once, the downloads take turns
// between two managers.
QNetworkAccessManager* TransferBatch::nextNetwork()
{
    const int lanes = lanesFor(m_limits.transfers);
    return network(lanes == 1 ? 0 : int(m_started++ % quint64(lanes)));
}

int TransferBatch::lanesFor(int transfers) const
{
    return transfers <= kConnectionsPerManager ? 1 : NetworkThread::kLanes;
}

QNetworkAccessManager* TransferBatch::network(int lane)
{
    std::shared_ptr<QNetworkAccessManager>& network = m_networks.at(std::size_t(lane));
    if (!network)
        network = m_thread->manager(m_network, lane);
    return network.get();
}

// The transfer reports its end from inside its own work: it is let go later.
void TransferBatch::handleEnded(Entries::iterator entry)
{
    FileTransfer* transfer = entry->transfer.release();
    transfer->deleteLater();
    const Download::Summary summary = transfer->summary();
    if (summary.outcome != Download::Outcome::Saved) {
        Failure failure{entry->item.payload, summary};
        m_running.erase(entry);
        fail(std::move(failure));
        return;
    }
    ++m_report.ended;
    ++m_report.savedFiles;
    m_report.savedBytes += summary.received;
    if (entry->item.reportSaved)
        m_report.saved.push_back(entry->item.payload);
    m_running.erase(entry);
    fill();
    if (m_waiting.empty() && m_running.empty()) {
        // The job that listed them is about to end: the next one makes its own folders,
        // the player may remove them in between.
        m_madeFolders.clear();
        m_notices.sendNow();
    } else {
        m_notices.note();
    }
}

// The other downloads are stopped and the owner hears of the failure at once.
void TransferBatch::fail(Failure failure)
{
    m_failed = true;
    m_running.clear();
    m_waiting.clear();
    m_report.failure = std::move(failure);
    m_notices.sendNow();
}

void TransferBatch::send()
{
    m_report.generation = m_generation;
    m_report.inFlight = 0;
    for (const Entry& entry : m_running)
        m_report.inFlight += entry.transfer->received();
    m_reporter(std::exchange(m_report, {}));
}
