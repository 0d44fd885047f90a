#pragma once

#include "connectionsahead.h"
#include "download.h"
#include "httprequest.h"
#include "networkthread.h"
#include "noticethrottle.h"

#include <QList>
#include <QSet>
#include <QString>

#include <array>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <vector>

class FileTransfer;
class QNetworkAccessManager;
class QObject;
class QUrl;

// The network thread's side of a DownloadList: the downloads of one owner, fetched one
// way (request recipe and retry rule), as many at once as the owner allows, each making
// its folder first. What happens is gathered into reports, sent at once when the work is
// done or has failed and otherwise at most every few dozen milliseconds, so that the
// owner's thread hears a few notices a second however many files there are.
//
// Lives and is used on the network thread only.
class TransferBatch {
public:
    // The owner's record of a download, carried along for the reports.
    using Payload = std::shared_ptr<const void>;
    struct Item {
        DownloadTarget target;
        Payload payload;
        bool reportSaved = false; // its save is reported by itself, not only counted
    };
    struct Limits {
        int transfers = 1; // downloads that need the network
        int commits = 0;   // more whose bytes are in and which wait for their commit
    };
    struct Failure {
        Payload payload;
        Download::Summary summary;
    };
    // What happened since the report before.
    struct Report {
        quint64 generation = 0; // of the work it reports on
        int ended = 0;          // downloads that left the list
        qint64 savedBytes = 0;  // taken by the files saved
        int savedFiles = 0;
        qint64 inFlight = 0;            // bytes taken so far by the downloads still listed
        Payload started;                // the download started last, when one started
        std::vector<Payload> saved;     // the items saved that asked to be reported
        std::optional<Failure> failure; // the first download that failed ends the work
    };
    using Reporter = std::function<void(Report)>;

    TransferBatch(NetworkThread* thread, const QObject* network, const HttpRequest::Recipe& recipe,
                  const RetryRule& retry, Reporter reporter);
    // Stops whatever runs, as clear() does.
    ~TransferBatch();
    TransferBatch(const TransferBatch&) = delete;
    TransferBatch& operator=(const TransferBatch&) = delete;

    // Lists items behind those listed before. Work of an earlier generation is dropped
    // first; items of a generation that has failed are dropped.
    void add(quint64 generation, Limits limits, std::vector<Item> items);
    // Stops every download and drops the list without a report: partial files are gone
    // when this returns, and a file being committed has taken its name. The work's
    // connections opened ahead and not taken are given up.
    void clear(quint64 generation);
    // Opens the connections the downloads of these limits will take to each https
    // origin, so that the first of them need not wait for one; where a request would go
    // through a proxy, none. They belong to the generation's work, as its items do.
    void connectAhead(quint64 generation, Limits limits, const QList<QUrl>& origins);

private:
    struct Entry {
        Item item;
        std::unique_ptr<FileTransfer> transfer;
    };
    using Entries = std::list<Entry>;

    void stopAll();
    void giveUpConnectionsAhead();
    void fill();
    qsizetype transferring() const;
    void startNext();
    bool makeFolder(const QString& path, QString* error);
    QNetworkAccessManager* nextNetwork();
    int lanesFor(int transfers) const;
    QNetworkAccessManager* network(int lane);
    void handleEnded(Entries::iterator entry);
    void fail(Failure failure);
    // Hands the report over; through m_notices only.
    void send();

    NetworkThread* const m_thread;
    const QObject* const m_network;
    const HttpRequest::Recipe m_recipe;
    const RetryRule m_retry;
    const Reporter m_reporter;
    quint64 m_generation = 0;
    bool m_failed = false; // the generation's work has failed
    Limits m_limits;
    std::deque<Item> m_waiting;
    Entries m_running;
    QSet<QString> m_madeFolders; // since the list last ran empty
    quint64 m_started = 0;
    std::array<std::shared_ptr<QNetworkAccessManager>, NetworkThread::kLanes> m_networks;
    ConnectionsAhead m_ahead;
    Report m_report;
    NoticeThrottle m_notices;
};
