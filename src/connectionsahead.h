#pragma once

#include <QList>
#include <QPointer>
#include <QUrl>

#include <memory>

class QNetworkAccessManager;
class QNetworkReply;

// The connections one job opens ahead of its requests (see HttpRequest::connectAhead). By
// the time the job ends, each has been taken by a request of the job or is given up. Used
// on the thread of the managers it opens them through.
class ConnectionsAhead {
public:
    // Opens a connection to the origin through `network`, where one may be opened.
    void open(QNetworkAccessManager* network, const QUrl& origin);
    // A request of the job goes to `url` through `network`: the connection opened ahead to
    // its origin there is the request's, or kept for the requests after it.
    void take(const QNetworkAccessManager* network, const QUrl& url);
    // The job has ended: each connection it did not take and that is still being made is
    // stopped. Returns the managers left holding one that was made, idle, for the caller
    // to close; no reply of one stays behind.
    QList<QNetworkAccessManager*> giveUp();

private:
    struct Opened {
        QNetworkAccessManager* network = nullptr;
        QUrl origin;
        QPointer<QNetworkReply> reply; // until it goes by itself
        std::shared_ptr<bool> made;    // the connection was made
        bool taken = false;
    };

    QList<Opened> m_opened;
};
