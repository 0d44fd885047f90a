#include "httprequest.h"

#include "localization.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QUrl>

#include <atomic>

namespace {

constexpr char kOutgrewProperty[] = "hollowmereOutgrewLimit";

// Set by a test's thread, read by the network thread's requests.
std::atomic_int& timeoutOverrideMs()
{
    static std::atomic_int milliseconds = 0;
    return milliseconds;
}

QNetworkRequest makeRequest(const QUrl& url, const HttpRequest::Recipe& recipe,
                            const HttpRequest::Headers& headers)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         recipe.redirects == HttpRequest::Redirects::SameOrigin
                             ? QNetworkRequest::SameOriginRedirectPolicy
                             : QNetworkRequest::NoLessSafeRedirectPolicy);
    if (recipe.timeoutMs > 0) {
        const int forced = timeoutOverrideMs();
        request.setTransferTimeout(forced > 0 ? forced : recipe.timeoutMs);
    }
    for (const auto& [name, value] : headers)
        request.setRawHeader(name, value);
    return request;
}

// Checked against the declared length before any body byte is read, and against
// what has piled up in the reply each time more arrives: the reply keeps the body
// until the caller reads it whole. The read buffer holds the network back just past
// the bound, however long the reading thread takes to look. A request that sends a
// body starts on the reply's next turn of the event loop and takes no size given
// before: the size is given again once it has started.
void limitBody(QNetworkReply* reply, qint64 limit)
{
    reply->setReadBufferSize(limit + 1);
    QMetaObject::invokeMethod(
        reply, [reply, limit] { reply->setReadBufferSize(limit + 1); }, Qt::QueuedConnection);
    const auto stopAbove = [reply, limit](qint64 bytes) {
        if (bytes <= limit || HttpRequest::outgrewLimit(reply))
            return;
        reply->setProperty(kOutgrewProperty, true);
        reply->abort();
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, stopAbove] {
        stopAbove(reply->header(QNetworkRequest::ContentLengthHeader).toLongLong());
    });
    QObject::connect(reply, &QIODevice::readyRead, reply,
                     [reply, stopAbove] { stopAbove(reply->bytesAvailable()); });
}

QNetworkReply* bounded(QNetworkReply* reply, const HttpRequest::Recipe& recipe)
{
    if (recipe.bodyLimit > 0)
        limitBody(reply, recipe.bodyLimit);
    return reply;
}

// The proxies `network` looks up for a request to `url`, in the order it looks them up.
QList<QNetworkProxy> proxiesFor(const QNetworkAccessManager* network, const QUrl& url)
{
    const QNetworkProxyQuery query(url);
    if (QNetworkProxyFactory* factory = network->proxyFactory())
        return factory->queryProxy(query);
    if (network->proxy().type() != QNetworkProxy::DefaultProxy)
        return {network->proxy()};
    return QNetworkProxyFactory::proxyForQuery(query);
}

// An encrypted request takes the first of them that can tunnel, which no proxy at all can;
// a factory that names none means no proxy.
bool goesStraightTo(const QNetworkAccessManager* network, const QUrl& url)
{
    const QList<QNetworkProxy> proxies = proxiesFor(network, url);
    for (const QNetworkProxy& proxy : proxies) {
        if (proxy.isTransparentProxy())
            return proxy.type() == QNetworkProxy::NoProxy;
    }
    return proxies.isEmpty();
}

QList<QNetworkReply*> repliesOf(const QNetworkAccessManager* network)
{
    return network->findChildren<QNetworkReply*>(Qt::FindDirectChildrenOnly);
}

} // namespace

namespace HttpRequest {

QNetworkReply* get(QNetworkAccessManager* network, const QUrl& url, const Recipe& recipe,
                   const Headers& headers)
{
    return bounded(network->get(makeRequest(url, recipe, headers)), recipe);
}

QNetworkReply* post(QNetworkAccessManager* network, const QUrl& url, const Recipe& recipe,
                    const QByteArray& body, const Headers& headers)
{
    return bounded(network->post(makeRequest(url, recipe, headers), body), recipe);
}

// A connection opened ahead serves a request only when it speaks the same protocols as
// the request's own would. The manager makes a reply of its own for it, which it would
// keep until it goes itself.
QNetworkReply* connectAhead(QNetworkAccessManager* network, const QUrl& origin)
{
    if (origin.scheme() != QLatin1String("https") || origin.host().isEmpty() ||
        !goesStraightTo(network, origin))
        return nullptr;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setAllowedNextProtocols(
        {QSslConfiguration::ALPNProtocolHTTP2, QSslConfiguration::NextProtocolHttp1_1});
    const QList<QNetworkReply*> before = repliesOf(network);
    network->connectToHostEncrypted(origin.host(), quint16(origin.port(443)), configuration);
    for (QNetworkReply* reply : repliesOf(network)) {
        if (!before.contains(reply)) {
            QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
            return reply;
        }
    }
    return nullptr;
}

bool outgrewLimit(const QNetworkReply* reply)
{
    return reply->property(kOutgrewProperty).toBool();
}

QString errorText(const QNetworkReply* reply)
{
    return outgrewLimit(reply) ? Loc::text("common.error.replyTooLarge") : reply->errorString();
}

void setTransferTimeoutForTesting(int milliseconds)
{
    timeoutOverrideMs() = qMax(0, milliseconds);
}

} // namespace HttpRequest
