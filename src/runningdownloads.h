#pragma once

#include "download.h"

#include <QList>
#include <QObject>

#include <algorithm>
#include <optional>
#include <utility>

// The downloads one job of an installer runs at once, all fetched one way (request
// recipe and retry rule) and relayed to the installer as they move and end.
class DownloadList : public QObject {
    Q_OBJECT

public:
    DownloadList(QNetworkAccessManager* network, const HttpRequest::Recipe& recipe,
                 const RetryRule& retry, QObject* parent = nullptr);

    // How many transfers the owner runs at once; past what one network manager
    // connects to a host, the downloads are spread over a second manager of the list.
    void setTransfersAtOnce(int count);

signals:
    void progressed();
    // A download no longer needs the network: its file is being committed.
    void committing(Download* download);
    void ended(Download* download);

protected:
    Download* startFile(DownloadTarget target, QString* error);

private:
    QNetworkAccessManager* nextNetwork();

    QNetworkAccessManager* m_network;
    QNetworkAccessManager* m_secondNetwork = nullptr; // made with the second download
    int m_transfersAtOnce = 0;
    quint64 m_started = 0;
    HttpRequest::Recipe m_recipe;
    RetryRule m_retry;
};

// The same, each download with its installer's record of the task (a url, path,
// SHA-1 and size). A download's end takes its record out once; a download of a job
// that has ended is no longer listed, so its end finds nothing.
template <typename Task> class RunningDownloads : public DownloadList {
public:
    using DownloadList::DownloadList;

    // Starts and lists the task's download; false, with the reason in `error`, when
    // its file cannot be made.
    bool start(const Task& task, QString* error)
    {
        Download* transfer =
            startFile({task.url, task.path, task.sha1, QCryptographicHash::Sha1, task.size}, error);
        if (transfer)
            m_entries.append({task, transfer});
        return transfer != nullptr;
    }

    // The record of a download that has ended, taken out, and the download deleted
    // later; empty when the job it belonged to is over.
    std::optional<Task> take(Download* transfer)
    {
        transfer->deleteLater();
        for (qsizetype i = 0; i < m_entries.size(); ++i) {
            if (m_entries.at(i).transfer == transfer)
                return m_entries.takeAt(i).task;
        }
        return std::nullopt;
    }

    // Forgets the downloads, then cancels them: their ends find nothing to take.
    void abandonAll()
    {
        const QList<Entry> entries = std::exchange(m_entries, {});
        for (const Entry& entry : entries)
            entry.transfer->cancel();
    }

    qsizetype size() const { return m_entries.size(); }
    // The listed downloads that still need the network (or wait to try it again).
    qsizetype transferring() const
    {
        return std::count_if(m_entries.cbegin(), m_entries.cend(),
                             [](const Entry& entry) { return !entry.transfer->isCommitting(); });
    }
    bool isEmpty() const { return m_entries.isEmpty(); }
    // Bytes the listed downloads have taken so far.
    qint64 received() const
    {
        qint64 bytes = 0;
        for (const Entry& entry : m_entries)
            bytes += entry.transfer->received();
        return bytes;
    }

private:
    struct Entry {
        Task task;
        Download* transfer;
    };
    QList<Entry> m_entries;
};
