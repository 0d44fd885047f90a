#include "runningdownloads.h"

DownloadList::DownloadList(QNetworkAccessManager* network, const HttpRequest::Recipe& recipe,
                           const RetryRule& retry, QObject* parent)
    : QObject(parent), m_network(network), m_recipe(recipe), m_retry(retry)
{
}

Download* DownloadList::startFile(DownloadTarget target, QString* error)
{
    Download* transfer =
        Download::start(m_network, std::move(target), m_recipe, m_retry, this, error);
    if (!transfer)
        return nullptr;
    connect(transfer, &Download::progress, this, &DownloadList::progressed);
    connect(transfer, &Download::committing, this, [this, transfer] { emit committing(transfer); });
    connect(transfer, &Download::ended, this, [this, transfer] { emit ended(transfer); });
    return transfer;
}
