#include "runningdownloads.h"

#include "networkthread.h"

#include <QMetaObject>

DownloadList::DownloadList(QNetworkAccessManager* network, const HttpRequest::Recipe& recipe,
                           const RetryRule& retry, QObject* parent)
    : QObject(parent), m_network(network), m_recipe(recipe), m_retry(retry)
{
}

DownloadList::~DownloadList()
{
    if (m_thread)
        m_thread->run([this] { delete std::exchange(m_batch, nullptr); });
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
    m_thread->post([this, generation = m_generation, limits = m_limits, make = std::move(make)] {
        m_batch->add(generation, limits, make());
    });
}

void DownloadList::connectAhead(const QList<QUrl>& origins)
{
    ensureBatch();
    m_openedAhead = true;
    m_thread->post([this, generation = m_generation, limits = m_limits, origins] {
        m_batch->connectAhead(generation, limits, origins);
    });
}

void DownloadList::ensureBatch()
{
    if (m_thread)
        return;
    m_thread = NetworkThread::acquire();
    if (m_network)
        m_thread->follow(m_network);
    m_thread->post([this, thread = m_thread.get()] {
        m_batch = new TransferBatch(
            thread, m_network, m_recipe, m_retry, [this](TransferBatch::Report report) {
                QMetaObject::invokeMethod(
                    this, [this, report] { apply(report); }, Qt::QueuedConnection);
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
    const auto clear = [this, generation = m_generation] { m_batch->clear(generation); };
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
