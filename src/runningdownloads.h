#pragma once

#include "download.h"
#include "transferbatch.h"

#include <QList>
#include <QObject>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

// The downloads one job of an installer runs, all fetched one way (request recipe and
// retry rule). They run on the network thread, which starts them as slots come free and
// reports back at most every few dozen milliseconds: the files saved in the meantime,
// counted, the bytes the running ones have taken, and at once the end of the work or its
// first failure, which stops the others.
class OwnerLink;

class DownloadList : public QObject {
    Q_OBJECT

public:
    DownloadList(QNetworkAccessManager* network, const HttpRequest::Recipe& recipe,
                 const RetryRule& retry, QObject* parent = nullptr);
    // Stops what still runs, as abandonAll() does.
    ~DownloadList() override;

    // How many transfers the owner runs at once; past what one network manager
    // connects to a host, the downloads are spread over a second manager of the list.
    void setTransfersAtOnce(int count);
    // How many more downloads may wait for their commit (their bytes all in) while the
    // transfers go on: files waiting together share one flush of the disk.
    void setCommitsAtOnce(int count);

    // The downloads listed and not yet reported ended: waiting, running or committing.
    qsizetype size() const { return m_listed; }
    bool isEmpty() const { return m_listed == 0; }
    // Bytes the listed downloads have taken so far, as last reported.
    qint64 received() const { return m_received; }
    // Opens the connections the downloads will take to these origins (https ones only,
    // and none where a request would go through a proxy) while the owner still works out
    // what to fetch. They belong to the work, until abandonAll().
    void connectAhead(const QList<QUrl>& origins);
    // Forgets the downloads and stops them: partial files are gone when this returns
    // (a file being committed has taken its name), and nothing more is reported of them.
    // The connections opened ahead and not taken by a download are given up.
    void abandonAll();

signals:
    // After each report, once its downloads have been handled.
    void progressed();
    // Files saved since the report before; those asked to be reported are handled first.
    void saved(qint64 bytes, int files);

protected:
    using Payload = TransferBatch::Payload;

    // Lists `count` downloads, whose items `make` builds on the network thread.
    void add(qsizetype count, std::function<std::vector<TransferBatch::Item>()> make);
    // The download started last since the report before.
    virtual void handleStarted(const Payload& payload) = 0;
    virtual void handleSaved(const Payload& payload) = 0;
    // The work has ended with this download's failure; the others are stopped.
    virtual void handleFailed(const Payload& payload, const Download::Summary& summary) = 0;

private:
    void ensureBatch();
    void apply(const TransferBatch::Report& report);
    bool handleDownloads(const TransferBatch::Report& report);

    QNetworkAccessManager* m_network;
    HttpRequest::Recipe m_recipe;
    RetryRule m_retry;
    TransferBatch::Limits m_limits;
    quint64 m_generation = 1; // the work reports belong to; a new one after every end
    qsizetype m_listed = 0;
    qint64 m_received = 0;
    bool m_openedAhead = false;              // connections were opened ahead for the work
    std::shared_ptr<NetworkThread> m_thread; // taken with the first download
    // Filled, touched and emptied on the network thread only, where the work handed over
    // reaches it even after this has gone.
    std::shared_ptr<std::unique_ptr<TransferBatch>> m_batch =
        std::make_shared<std::unique_ptr<TransferBatch>>();
    std::shared_ptr<OwnerLink> m_link; // how the batch reports here; made with it
};

// The same, each download with its installer's record of the task (a url, path, SHA-1
// and size), handed back in the reports.
template <typename Task> class RunningDownloads : public DownloadList {
public:
    struct Handlers {
        std::function<void(const Task&)> started;
        std::function<void(const Task&)> saved; // tasks listed with reportSaved
        std::function<void(const Task&, const Download::Summary&)> failed;
    };

    using DownloadList::DownloadList;

    void setHandlers(Handlers handlers) { m_handlers = std::move(handlers); }

    // Lists the tasks behind those listed before. A task for which `reportSaved` says so
    // is handed to the saved handler once its file is saved; the others are only
    // counted. The downloads are made on the network thread: thousands of them cost the
    // owner's thread next to nothing.
    void start(const QList<Task>& tasks, bool (*reportSaved)(const Task&) = nullptr)
    {
        add(tasks.size(), [tasks, reportSaved] {
            std::vector<TransferBatch::Item> items;
            items.reserve(std::size_t(tasks.size()));
            for (const Task& task : tasks)
                items.push_back(
                    {{task.url, task.path, task.sha1, QCryptographicHash::Sha1, task.size},
                     std::make_shared<const Task>(task),
                     reportSaved && reportSaved(task)});
            return items;
        });
    }

private:
    static const Task& taskOf(const Payload& payload)
    {
        return *static_cast<const Task*>(payload.get());
    }
    void handleStarted(const Payload& payload) override
    {
        if (m_handlers.started)
            m_handlers.started(taskOf(payload));
    }
    void handleSaved(const Payload& payload) override
    {
        if (m_handlers.saved)
            m_handlers.saved(taskOf(payload));
    }
    void handleFailed(const Payload& payload, const Download::Summary& summary) override
    {
        if (m_handlers.failed)
            m_handlers.failed(taskOf(payload), summary);
    }

    Handlers m_handlers;
};
