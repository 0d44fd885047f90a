#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;
class QUrl;

// The one way the launcher sends a request: its redirect rule, its transfer
// time-out and a bound on the body it may bring into memory. A server that keeps
// sending is stopped at the bound; the time-out alone only measures silence.
namespace HttpRequest {

// Catalogs, version descriptions and file manifests.
constexpr qint64 kCatalogLimit = 8 * 1024 * 1024;
// Sign-in replies and release metadata.
constexpr qint64 kReplyLimit = 1024 * 1024;
// The body is streamed by the caller, which bounds it (see Download).
constexpr qint64 kStreamed = 0;

enum class Redirects {
    NoLessSafe, // followed, except from https to http
    SameOrigin, // followed only to the same scheme, host and port
};

struct Recipe {
    int timeoutMs = 0; // longest silence before the transfer is given up; 0: none
    Redirects redirects = Redirects::NoLessSafe;
    qint64 bodyLimit = kCatalogLimit;
};

using Headers = QList<QPair<QByteArray, QByteArray>>;

QNetworkReply* get(QNetworkAccessManager* network, const QUrl& url, const Recipe& recipe,
                   const Headers& headers = {});
QNetworkReply* post(QNetworkAccessManager* network, const QUrl& url, const Recipe& recipe,
                    const QByteArray& body, const Headers& headers);

// Opens a connection to an https origin through `network` ahead of the requests that will
// take it, speaking what theirs would (HTTP/2 where the server offers it), and returns the
// reply that stands for it: aborting it stops the connection being made, and it goes by
// itself once the connection is made or has failed. Nothing is opened (null) for another
// scheme, or where an https request to the origin would not go straight to it under the
// proxy rules `network` follows: a connection opened ahead always goes straight to its
// host, so it would go around the proxy, and no request could take it.
QNetworkReply* connectAhead(QNetworkAccessManager* network, const QUrl& origin);

// The reply was stopped because its body outgrew the recipe's bound; it then
// reports itself as cancelled.
bool outgrewLimit(const QNetworkReply* reply);
// What went wrong with a finished reply, for messages: the bound it broke, or its
// own error text.
QString errorText(const QNetworkReply* reply);

// Tests only: replaces every non-zero transfer time-out (0 restores them).
void setTransferTimeoutForTesting(int milliseconds);

} // namespace HttpRequest
