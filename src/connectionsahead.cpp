#include "connectionsahead.h"

#include "httprequest.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <utility>

namespace {

bool sameOrigin(const QUrl& a, const QUrl& b)
{
    return a.scheme() == b.scheme() && a.host() == b.host() && a.port(443) == b.port(443);
}

} // namespace

void ConnectionsAhead::open(QNetworkAccessManager* network, const QUrl& origin)
{
    QNetworkReply* reply = HttpRequest::connectAhead(network, origin);
    if (!reply)
        return;
    auto made = std::make_shared<bool>(false);
    QObject::connect(reply, &QNetworkReply::finished, reply,
                     [reply, made] { *made = reply->error() == QNetworkReply::NoError; });
    m_opened.append({network, origin, reply, made});
}

void ConnectionsAhead::take(const QNetworkAccessManager* network, const QUrl& url)
{
    for (Opened& opened : m_opened) {
        if (opened.network == network && sameOrigin(opened.origin, url))
            opened.taken = true;
    }
}

// A reply still under way is aborted before it is deleted: its end then comes at once, and
// the connection it was making with it. One made is deleted at once rather than later, so
// that closing its manager's idle connections right after finds none of its work left.
QList<QNetworkAccessManager*> ConnectionsAhead::giveUp()
{
    QList<QNetworkAccessManager*> idle;
    for (Opened& opened : std::exchange(m_opened, {})) {
        if (opened.taken)
            continue;
        if (opened.reply && !opened.reply->isFinished())
            opened.reply->abort();
        delete opened.reply.data();
        if (*opened.made && !idle.contains(opened.network))
            idle.append(opened.network);
    }
    return idle;
}
