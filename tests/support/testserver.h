#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSslCertificate>
#include <QString>
#include <QUrl>

#include <functional>

class QSslServer;
class TestServerConnection;

using TestHeaders = QList<QPair<QByteArray, QByteArray>>;

// One request as the server received it.
struct TestRequest {
    QString method;
    QString target; // path with query, exactly as sent (still percent-encoded)
    QString path;
    QString query; // without the '?'
    TestHeaders headers;
    QByteArray body;

    // Case-insensitive header lookup; empty when absent.
    QByteArray header(const QByteArray& name) const;
    bool hasHeader(const QByteArray& name) const;
};

// What the server answers. Start from one of the builders and refine with the
// modifiers, which return modified copies:
//   TestReply::ok("data").slow(1024, 50).chunked()
class TestReply {
public:
    TestReply() = default;

    static TestReply ok(const QByteArray& body = {},
                        const QByteArray& contentType = "application/octet-stream");
    static TestReply json(const QByteArray& body, int statusCode = 200);
    static TestReply text(const QByteArray& body, int statusCode = 200);
    static TestReply status(int statusCode, const QByteArray& body = {});
    static TestReply notFound();
    // A Location header; relative locations are resolved by the client. The
    // connection closes after it (see the source for why).
    static TestReply redirect(const QString& location, int statusCode = 302);
    // Streams a file from disk when the reply is sent (404 if it can't be opened then).
    static TestReply file(const QString& filePath,
                          const QByteArray& contentType = "application/octet-stream");

    TestReply withHeader(const QByteArray& name, const QByteArray& value) const;
    // Waits this long after the request before sending anything.
    TestReply delayed(int ms) const;
    // Sends the headers and the first bodyBytes of the body, then nothing more;
    // the connection stays open until the client gives up.
    TestReply stalledAfter(qint64 bodyBytes) const;
    // Sends the headers (announcing the whole length) and the first bodyBytes of
    // the body, then closes the connection.
    TestReply closedAfter(qint64 bodyBytes) const;
    // Sends the body in pieces of chunkBytes with delayMs between them.
    TestReply slow(int chunkBytes, int delayMs) const;
    // Chunked transfer encoding instead of Content-Length.
    TestReply chunked() const;
    // A chunked body that never ends: pieces of filler for as long as the client reads.
    TestReply endless() const;

    int statusCode = 200;
    TestHeaders headers;
    QByteArray body;
    QString filePath; // when set, the body comes from this file
    int delayMs = 0;
    qint64 stallAfterBytes = -1;
    qint64 closeAfterBytes = -1;
    int slowChunkBytes = 0;
    int slowDelayMs = 0;
    bool chunkedEncoding = false;
    bool endlessBody = false;
};

using TestHandler = std::function<TestReply(const TestRequest&)>;

// A loopback HTTPS server for tests: HTTP/1.1 on 127.0.0.1 with the committed
// test certificate, which the test process trusts once a server is created.
//
// Routes are looked up by the exact path with query first, then the path alone,
// then the longest matching prefix route; anything else gets a 404. A route
// answers with a script of replies consumed in order, the last one repeating,
// or with a handler called for every request.
class TestServer : public QObject {
    Q_OBJECT

public:
    explicit TestServer(QObject* parent = nullptr);
    ~TestServer() override;

    bool isListening() const;
    quint16 port() const;
    QString origin() const; // "https://127.0.0.1:<port>"
    // A loopback origin where nothing listens: every connection is refused.
    static QString closedOrigin();
    QUrl url(const QString& pathAndQuery) const;

    // Replaces any earlier route with the same key. A key containing '?' only
    // matches that exact path and query.
    void route(const QString& pathOrTarget, const TestReply& reply);
    void route(const QString& pathOrTarget, const QList<TestReply>& script);
    void route(const QString& pathOrTarget, const TestHandler& handler);
    void routePrefix(const QString& prefix, const TestReply& reply);
    void routePrefix(const QString& prefix, const TestHandler& handler);
    void removeRoute(const QString& pathOrTarget);
    void clearRoutes();

    // Every request received, oldest first.
    QList<TestRequest> requests() const { return m_log; }
    // Requests whose path (or, when the argument has a '?', whole target) matches.
    QList<TestRequest> requests(const QString& pathOrTarget) const;
    int requestCount(const QString& pathOrTarget) const;
    int requestCount() const { return int(m_log.size()); }
    void clearLog();

    // Requests in flight: from their complete headers until their reply is fully
    // written or their connection closes.
    int inFlight() const { return m_inFlight; }
    int maxConcurrent() const { return m_maxConcurrent; }
    void resetMaxConcurrent() { m_maxConcurrent = m_inFlight; }
    // Encrypted connections accepted so far.
    int connectionsAccepted() const { return m_accepted; }
    // Body bytes handed to the sockets so far, over every reply.
    qint64 bodyBytesSent() const { return m_bodyBytesSent; }

    // Replaces every "{{BASE}}" by origin().
    QByteArray templated(const QByteArray& content) const;
    // A file below tests/fixtures/, templated; empty (with a warning) if unreadable.
    QByteArray fixture(const QString& relativePath) const;
    static QString fixturePath(const QString& relativePath);

    // Makes the test certificate authority trusted by the process's default TLS
    // configuration. Idempotent; called by the constructor.
    static void trustTestCertificate();
    static QSslCertificate caCertificate();
    static QString caCertificatePath();

signals:
    // Emitted once a request has been received completely, before it is answered.
    void requestReceived(const QString& target);

private:
    struct Route {
        QList<TestReply> script;
        int next = 0;
        TestHandler handler;
    };
    friend class TestServerConnection;

    void acceptConnections();
    void requestStarted();
    void requestEnded();
    TestReply replyFor(const TestRequest& request);
    static TestReply nextReply(Route& route);
    Route* findRoute(const TestRequest& request);

    QSslServer* m_server = nullptr;
    QHash<QString, Route> m_routes;
    QList<QPair<QString, Route>> m_prefixRoutes;
    QList<TestRequest> m_log;
    QList<TestServerConnection*> m_connections;
    int m_inFlight = 0;
    int m_maxConcurrent = 0;
    int m_accepted = 0;
    qint64 m_bodyBytesSent = 0;
};
