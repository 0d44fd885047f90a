#include "runningdownloads.h"

#include <QNetworkAccessManager>

namespace {

constexpr int kConnectionsPerManager = 6;

} // namespace

DownloadList::DownloadList(QNetworkAccessManager* network, const HttpRequest::Recipe& recipe,
                           const RetryRule& retry, QObject* parent)
    : QObject(parent), m_network(network), m_recipe(recipe), m_retry(retry)
{
}

void DownloadList::setTransfersAtOnce(int count)
{
    m_transfersAtOnce = count;
}

// A network manager opens at most six connections to a host over HTTP/1.1, and
// carries them all on one thread of its own; when more transfers run at once, the
// list's downloads take turns between the owner's manager and one of its own.
QNetworkAccessManager* DownloadList::nextNetwork()
{
    if (m_transfersAtOnce <= kConnectionsPerManager || m_started++ % 2 == 0)
        return m_network;
    if (!m_secondNetwork)
        m_secondNetwork = new QNetworkAccessManager(this);
    return m_secondNetwork;
}

Download* DownloadList::startFile(DownloadTarget target, QString* error)
{
    Download* transfer =
        Download::start(nextNetwork(), std::move(target), m_recipe, m_retry, this, error);
    if (!transfer)
        return nullptr;
    connect(transfer, &Download::progress, this, &DownloadList::progressed);
    connect(transfer, &Download::committing, this, [this, transfer] { emit committing(transfer); });
    connect(transfer, &Download::ended, this, [this, transfer] { emit ended(transfer); });
    return transfer;
}
