#include "runningdownloads.h"

#include "networkthread.h"
#include "ownerlink.h"

DownloadList::DownloadList(QNetworkAccessManager* network, const HttpRequest::Recipe& recipe,
                           const RetryRule& retry, QObject* parent)
    : QObject(parent), m_network(network), m_recipe(recipe), m_retry(retry)
{
}

// Downloads still running are stopped before this returns, their partial files gone;
// once the work has ended the batch goes with the network thread's next turn, the
// interface not waiting for it.
DownloadList::~DownloadList()
{
    if (!m_thread)
        return;
    m_link->cut();
    const auto drop = [batch = m_batch] { batch->reset(); };
    if (m_listed > 0)
        m_thread->run(drop);
    else
        m_thread->post(drop);
}

void DownloadList::setTransfersAtOnce(int count)
{
    m_limits.transfers = count;
}

void DownloadList::setCommitsAtOnce(int count)
{
    m_limits.commits = count;
}

void DownloadList::add(qsizetype count, std::function<std::vector<TransferBatch::Item>()> make)
{
    if (count == 0)
        return;
    ensureBatch();
    m_listed += count;
    m_thread->post([batch = m_batch, generation = m_generation, limits = m_limits,
                    make = std::move(make)] { (*batch)->add(generation, limits, make()); });
}

void DownloadList::connectAhead(const QList<QUrl>& origins)
{
    ensureBatch();
    m_openedAhead = true;
    m_thread->post([batch = m_batch, generation = m_generation, limits = m_limits, origins] {
        (*batch)->connectAhead(generation, limits, origins);
    });
}

void DownloadList::ensureBatch()
{
    if (m_thread)
        return;
    m_thread = NetworkThread::acquire();
    if (m_network)
        m_thread->follow(m_network);
    m_link = std::make_shared<OwnerLink>(this);
    m_thread->post([batch = m_batch, link = m_link, owner = this, thread = m_thread.get(),
                    network = m_network, recipe = m_recipe, retry = m_retry] {
        *batch = std::make_unique<TransferBatch>(
            thread, network, recipe, retry, [link, owner](TransferBatch::Report report) {
                link->tell([owner, report] { owner->apply(report); });
            });
    });
}

void DownloadList::abandonAll()
{
    const bool running = m_listed > 0;
    const bool openedAhead = std::exchange(m_openedAhead, false);
    ++m_generation;
    m_listed = 0;
    m_received = 0;
    const auto clear = [batch = m_batch, generation = m_generation] {
        (*batch)->clear(generation);
    };
    if (running)
        m_thread->run(clear);
    else if (openedAhead)
        m_thread->post(clear);
}

void DownloadList::apply(const TransferBatch::Report& report)
{
    if (report.generation != m_generation)
        return;
    m_listed -= report.ended;
    m_received = report.inFlight;
    if (report.failure) {
        ++m_generation;
        m_listed = 0;
        m_received = 0;
        const TransferBatch::Failure& failure = *report.failure;
        handleFailed(failure.payload, failure.summary);
        return;
    }
    if (!handleDownloads(report))
        return;
    if (report.savedFiles > 0) {
        emit saved(report.savedBytes, report.savedFiles);
        if (report.generation != m_generation)
            return;
    }
    emit progressed();
}

// False when a handler has ended the work.
bool DownloadList::handleDownloads(const TransferBatch::Report& report)
{
    if (report.started) {
        handleStarted(report.started);
        if (report.generation != m_generation)
            return false;
    }
    for (const Payload& payload : report.saved) {
        handleSaved(payload);
        if (report.generation != m_generation)
            return false;
    }
    return true;
}
