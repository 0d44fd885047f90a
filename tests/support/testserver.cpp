#include "testserver.h"

#include <QFile>
#include <QHostAddress>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>

#include <limits>
#include <memory>

namespace {

constexpr qint64 PieceBytes = 64 * 1024;
// Above this much unsent data the body waits for the socket to drain, so large
// bodies stream instead of piling up in memory.
constexpr qint64 WriteHighWater = 256 * 1024;
constexpr qsizetype MaxHeaderBytes = 64 * 1024;

QString certsDir()
{
    return QStringLiteral(HM_TEST_SOURCE_DIR "/support/certs/");
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning("TestServer: cannot read %s", qPrintable(path));
        return {};
    }
    return file.readAll();
}

QByteArray reasonPhrase(int statusCode)
{
    switch (statusCode) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 409:
        return "Conflict";
    case 410:
        return "Gone";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        return "Status";
    }
}

const QByteArray* findHeader(const TestHeaders& headers, const QByteArray& name)
{
    for (const auto& [key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return &value;
    return nullptr;
}

bool hasHeader(const TestHeaders& headers, const QByteArray& name)
{
    return findHeader(headers, name) != nullptr;
}

QByteArray headerValue(const TestHeaders& headers, const QByteArray& name)
{
    const QByteArray* value = findHeader(headers, name);
    return value ? *value : QByteArray();
}

} // namespace

QByteArray TestRequest::header(const QByteArray& name) const
{
    return headerValue(headers, name);
}

bool TestRequest::hasHeader(const QByteArray& name) const
{
    return ::hasHeader(headers, name);
}

TestReply TestReply::ok(const QByteArray& body, const QByteArray& contentType)
{
    TestReply reply;
    reply.body = body;
    reply.headers.append({"Content-Type", contentType});
    return reply;
}

TestReply TestReply::json(const QByteArray& body, int statusCode)
{
    TestReply reply = ok(body, "application/json");
    reply.statusCode = statusCode;
    return reply;
}

TestReply TestReply::text(const QByteArray& body, int statusCode)
{
    TestReply reply = ok(body, "text/plain; charset=utf-8");
    reply.statusCode = statusCode;
    return reply;
}

TestReply TestReply::status(int statusCode, const QByteArray& body)
{
    return text(body, statusCode);
}

TestReply TestReply::notFound()
{
    return status(404, "not found");
}

TestReply TestReply::redirect(const QString& location, int statusCode)
{
    // Qt's client sometimes sends a request twice when its redirect arrives on a
    // kept-alive connection; closing it keeps request counts exact.
    return status(statusCode)
        .withHeader("Location", location.toUtf8())
        .withHeader("Connection", "close");
}

TestReply TestReply::file(const QString& filePath, const QByteArray& contentType)
{
    TestReply reply = ok({}, contentType);
    reply.filePath = filePath;
    return reply;
}

TestReply TestReply::withHeader(const QByteArray& name, const QByteArray& value) const
{
    TestReply reply = *this;
    reply.headers.append({name, value});
    return reply;
}

TestReply TestReply::delayed(int ms) const
{
    TestReply reply = *this;
    reply.delayMs = ms;
    return reply;
}

TestReply TestReply::stalledAfter(qint64 bodyBytes) const
{
    TestReply reply = *this;
    reply.stallAfterBytes = bodyBytes;
    return reply;
}

TestReply TestReply::closedAfter(qint64 bodyBytes) const
{
    TestReply reply = *this;
    reply.closeAfterBytes = bodyBytes;
    return reply;
}

TestReply TestReply::slow(int chunkBytes, int delayMs) const
{
    TestReply reply = *this;
    reply.slowChunkBytes = qMax(1, chunkBytes);
    reply.slowDelayMs = delayMs;
    return reply;
}

TestReply TestReply::chunked() const
{
    TestReply reply = *this;
    reply.chunkedEncoding = true;
    return reply;
}

TestReply TestReply::endless() const
{
    TestReply reply = chunked();
    reply.endlessBody = true;
    return reply;
}

// One client connection: reads requests one after another and writes their
// replies, keeping the connection alive between them unless told otherwise.
class TestServerConnection : public QObject {
public:
    TestServerConnection(TestServer* server, QSslSocket* socket);
    ~TestServerConnection() override;

private:
    enum class State { Headers, Body, Replying, Closed };

    void processInput();
    bool parseHeaders();
    bool readBody();
    bool readChunkedBody();
    void dispatch();
    void startReply(const TestReply& reply);
    void sendHeaders();
    void pumpBody();
    void bodyLimitReached();
    void maybeFinishReply();
    void finishReply();
    void connectionLost();
    void setInFlight(bool inFlight);

    TestServer* m_server;
    QSslSocket* m_socket;
    State m_state = State::Headers;
    QByteArray m_input;
    TestRequest m_request;
    qint64 m_contentLength = 0;
    bool m_requestChunked = false;
    bool m_clientWantsClose = false;
    bool m_inFlight = false;
    bool m_lost = false;

    // The reply being written.
    TestReply m_reply;
    std::unique_ptr<QFile> m_file;
    qint64 m_bodySize = 0;
    qint64 m_bodyLimit = 0;
    qint64 m_bodySent = 0;
    bool m_keepAlive = true;
    bool m_bodyComplete = false;
    bool m_waitingForTimer = false;
};

TestServerConnection::TestServerConnection(TestServer* server, QSslSocket* socket)
    : QObject(server), m_server(server), m_socket(socket)
{
    m_socket->setParent(this);
    // Small replies would otherwise wait for the peer's delayed acknowledgement.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(m_socket, &QIODevice::readyRead, this, [this] {
        m_input.append(m_socket->readAll());
        processInput();
    });
    connect(m_socket, &QIODevice::bytesWritten, this, [this] {
        if (m_state != State::Replying)
            return;
        if (m_bodyComplete)
            maybeFinishReply();
        else if (!m_waitingForTimer)
            pumpBody();
    });
    // An endless body also waits for its encrypted bytes to leave (see pumpBody).
    connect(m_socket, &QSslSocket::encryptedBytesWritten, this, [this] {
        if (m_state == State::Replying && m_reply.endlessBody && !m_bodyComplete)
            pumpBody();
    });
    connect(m_socket, &QAbstractSocket::disconnected, this, &TestServerConnection::connectionLost);
    connect(m_socket, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            connectionLost();
    });
    m_input = m_socket->readAll();
    if (!m_input.isEmpty())
        QTimer::singleShot(0, this, &TestServerConnection::processInput);
}

TestServerConnection::~TestServerConnection()
{
    m_socket->disconnect(this);
    m_socket->abort();
}

void TestServerConnection::processInput()
{
    while (m_state == State::Headers || m_state == State::Body) {
        if (m_state == State::Headers && !parseHeaders())
            return;
        if (m_state == State::Body) {
            if (!readBody())
                return;
            dispatch();
        }
    }
}

bool TestServerConnection::parseHeaders()
{
    const qsizetype end = m_input.indexOf("\r\n\r\n");
    if (end < 0) {
        if (m_input.size() > MaxHeaderBytes)
            m_socket->abort();
        return false;
    }
    const QList<QByteArray> lines = m_input.left(end).split('\n');
    m_input.remove(0, end + 4);

    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    if (requestLine.size() != 3) {
        m_socket->abort();
        return false;
    }
    m_request = TestRequest();
    m_request.method = QString::fromLatin1(requestLine[0]);
    m_request.target = QString::fromLatin1(requestLine[1]);
    const qsizetype question = m_request.target.indexOf(QLatin1Char('?'));
    m_request.path = m_request.target.left(question);
    m_request.query = question < 0 ? QString() : m_request.target.mid(question + 1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            m_request.headers.append(
                {lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed()});
    }

    m_contentLength = m_request.header("Content-Length").toLongLong();
    m_requestChunked = m_request.header("Transfer-Encoding").toLower().contains("chunked");
    const QByteArray connection = m_request.header("Connection").toLower();
    m_clientWantsClose = connection.contains("close") ||
                         (requestLine[2] == "HTTP/1.0" && !connection.contains("keep-alive"));
    m_state = State::Body;
    setInFlight(true);
    return true;
}

bool TestServerConnection::readBody()
{
    if (m_requestChunked)
        return readChunkedBody();
    if (m_input.size() < m_contentLength)
        return false;
    m_request.body = m_input.left(m_contentLength);
    m_input.remove(0, m_contentLength);
    return true;
}

bool TestServerConnection::readChunkedBody()
{
    for (;;) {
        const qsizetype lineEnd = m_input.indexOf("\r\n");
        if (lineEnd < 0)
            return false;
        bool ok = false;
        const qint64 size = m_input.left(lineEnd).split(';').first().trimmed().toLongLong(&ok, 16);
        if (!ok) {
            m_socket->abort();
            return false;
        }
        if (size == 0) {
            // No trailers expected: the last chunk is followed by an empty line.
            if (m_input.size() < lineEnd + 4)
                return false;
            m_input.remove(0, lineEnd + 4);
            return true;
        }
        if (m_input.size() < lineEnd + 2 + size + 2)
            return false;
        m_request.body.append(m_input.mid(lineEnd + 2, size));
        m_input.remove(0, lineEnd + 2 + size + 2);
    }
}

void TestServerConnection::dispatch()
{
    m_state = State::Replying;
    m_server->m_log.append(m_request);
    QPointer<TestServerConnection> self(this);
    emit m_server->requestReceived(m_request.target);
    if (!self || m_state != State::Replying)
        return;
    const TestReply reply = m_server->replyFor(m_request);
    if (reply.delayMs > 0)
        QTimer::singleShot(reply.delayMs, this, [this, reply] { startReply(reply); });
    else
        startReply(reply);
}

void TestServerConnection::startReply(const TestReply& reply)
{
    if (m_state != State::Replying)
        return;
    m_reply = reply;
    m_file.reset();
    if (!reply.filePath.isEmpty()) {
        m_file = std::make_unique<QFile>(reply.filePath);
        if (!m_file->open(QIODevice::ReadOnly)) {
            qWarning("TestServer: cannot open %s", qPrintable(reply.filePath));
            m_file.reset();
            m_reply = TestReply::notFound();
        }
    }
    m_bodySize = m_reply.endlessBody ? std::numeric_limits<qint64>::max()
                 : m_file            ? m_file->size()
                                     : m_reply.body.size();
    m_bodyLimit = m_bodySize;
    if (m_reply.stallAfterBytes >= 0)
        m_bodyLimit = qMin(m_bodyLimit, m_reply.stallAfterBytes);
    if (m_reply.closeAfterBytes >= 0)
        m_bodyLimit = qMin(m_bodyLimit, m_reply.closeAfterBytes);
    if (m_request.method == QLatin1String("HEAD"))
        m_bodyLimit = 0;
    m_bodySent = 0;
    m_bodyComplete = false;
    m_waitingForTimer = false;
    m_keepAlive = !m_clientWantsClose && m_reply.closeAfterBytes < 0 &&
                  m_reply.stallAfterBytes < 0 &&
                  !headerValue(m_reply.headers, "Connection").toLower().contains("close");
    sendHeaders();
    pumpBody();
}

void TestServerConnection::sendHeaders()
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(m_reply.statusCode) + ' ' +
                      reasonPhrase(m_reply.statusCode) + "\r\n";
    for (const auto& [name, value] : m_reply.headers)
        head += name + ": " + value + "\r\n";
    if (m_reply.chunkedEncoding)
        head += "Transfer-Encoding: chunked\r\n";
    else if (!hasHeader(m_reply.headers, "Content-Length"))
        head += "Content-Length: " + QByteArray::number(m_bodySize) + "\r\n";
    if (!hasHeader(m_reply.headers, "Connection"))
        head += m_keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    head += "\r\n";
    m_socket->write(head);
}

void TestServerConnection::pumpBody()
{
    m_waitingForTimer = false;
    const bool slow = m_reply.slowChunkBytes > 0;
    while (m_state == State::Replying && !m_bodyComplete) {
        if (m_bodySent >= m_bodyLimit) {
            bodyLimitReached();
            return;
        }
        // An endless body also waits for its encrypted bytes to leave: TLS moves the
        // plain text on at once, and the encrypted bytes would pile up without end.
        const qint64 waiting = m_socket->bytesToWrite() +
                               (m_reply.endlessBody ? m_socket->encryptedBytesToWrite() : 0);
        if (!slow && waiting > WriteHighWater)
            return; // bytesWritten resumes
        const qint64 pieceSize =
            qMin<qint64>(slow ? m_reply.slowChunkBytes : PieceBytes, m_bodyLimit - m_bodySent);
        const QByteArray piece = m_reply.endlessBody ? QByteArray(pieceSize, 'x')
                                 : m_file            ? m_file->read(pieceSize)
                                                     : m_reply.body.mid(m_bodySent, pieceSize);
        if (piece.isEmpty()) {
            qWarning("TestServer: cannot read %s", qPrintable(m_reply.filePath));
            m_socket->abort();
            return;
        }
        if (m_reply.chunkedEncoding)
            m_socket->write(QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n");
        else
            m_socket->write(piece);
        m_bodySent += piece.size();
        m_server->m_bodyBytesSent += piece.size();
        if (slow && m_bodySent < m_bodyLimit) {
            m_waitingForTimer = true;
            QTimer::singleShot(m_reply.slowDelayMs, this, &TestServerConnection::pumpBody);
            return;
        }
    }
}

void TestServerConnection::bodyLimitReached()
{
    const bool head = m_request.method == QLatin1String("HEAD");
    constexpr qint64 Never = std::numeric_limits<qint64>::max();
    const qint64 stallAt = m_reply.stallAfterBytes >= 0 ? m_reply.stallAfterBytes : Never;
    const qint64 closeAt = m_reply.closeAfterBytes >= 0 ? m_reply.closeAfterBytes : Never;
    if (!head && stallAt <= m_bodySize && stallAt <= closeAt)
        return; // stalled: hold the connection open and send nothing more
    if (!head && closeAt <= m_bodySize) {
        // Closed mid-body: what was queued still goes out before the close.
        m_state = State::Closed;
        m_socket->disconnectFromHost();
        return;
    }
    if (m_reply.chunkedEncoding && !head)
        m_socket->write("0\r\n\r\n");
    m_bodyComplete = true;
    maybeFinishReply();
}

void TestServerConnection::maybeFinishReply()
{
    if (m_socket->bytesToWrite() == 0)
        finishReply();
}

void TestServerConnection::finishReply()
{
    m_file.reset();
    m_reply = TestReply();
    setInFlight(false);
    if (!m_keepAlive) {
        m_state = State::Closed;
        m_socket->disconnectFromHost();
        return;
    }
    m_state = State::Headers;
    // Queued so a reply written inside a readyRead doesn't recurse.
    QTimer::singleShot(0, this, &TestServerConnection::processInput);
}

void TestServerConnection::connectionLost()
{
    if (m_lost)
        return;
    m_lost = true;
    m_state = State::Closed;
    setInFlight(false);
    m_server->m_connections.removeOne(this);
    deleteLater();
}

void TestServerConnection::setInFlight(bool inFlight)
{
    if (inFlight == m_inFlight)
        return;
    m_inFlight = inFlight;
    if (inFlight)
        m_server->requestStarted();
    else
        m_server->requestEnded();
}

TestServer::TestServer(QObject* parent) : QObject(parent), m_server(new QSslServer(this))
{
    trustTestCertificate();

    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(QSslCertificate(readAll(certsDir() + "server.pem")));
    configuration.setPrivateKey(QSslKey(readAll(certsDir() + "server.key"), QSsl::Rsa));
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    configuration.setAllowedNextProtocols({QByteArray(QSslConfiguration::NextProtocolHttp1_1)});
    m_server->setSslConfiguration(configuration);

    connect(m_server, &QTcpServer::pendingConnectionAvailable, this,
            &TestServer::acceptConnections);
    if (!m_server->listen(QHostAddress::LocalHost, 0))
        qWarning("TestServer: cannot listen: %s", qPrintable(m_server->errorString()));
}

TestServer::~TestServer()
{
    m_server->close();
    const QList<TestServerConnection*> connections = m_connections;
    m_connections.clear();
    qDeleteAll(connections);
}

void TestServer::acceptConnections()
{
    while (m_server->hasPendingConnections()) {
        auto* socket = qobject_cast<QSslSocket*>(m_server->nextPendingConnection());
        if (!socket)
            continue;
        ++m_accepted;
        m_connections.append(new TestServerConnection(this, socket));
    }
}

bool TestServer::isListening() const
{
    return m_server->isListening();
}

quint16 TestServer::port() const
{
    return m_server->serverPort();
}

QString TestServer::origin() const
{
    return QStringLiteral("https://127.0.0.1:%1").arg(port());
}

QString TestServer::closedOrigin()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    const quint16 port = probe.serverPort();
    probe.close();
    return QStringLiteral("https://127.0.0.1:%1").arg(port);
}

QUrl TestServer::url(const QString& pathAndQuery) const
{
    return QUrl(origin() + pathAndQuery);
}

void TestServer::route(const QString& pathOrTarget, const TestReply& reply)
{
    route(pathOrTarget, QList<TestReply>{reply});
}

void TestServer::route(const QString& pathOrTarget, const QList<TestReply>& script)
{
    Route route;
    route.script = script.isEmpty() ? QList<TestReply>{TestReply::notFound()} : script;
    m_routes.insert(pathOrTarget, route);
}

void TestServer::route(const QString& pathOrTarget, const TestHandler& handler)
{
    Route route;
    route.handler = handler;
    m_routes.insert(pathOrTarget, route);
}

void TestServer::routePrefix(const QString& prefix, const TestReply& reply)
{
    Route route;
    route.script = {reply};
    m_prefixRoutes.removeIf([&](const auto& entry) { return entry.first == prefix; });
    m_prefixRoutes.append({prefix, route});
}

void TestServer::routePrefix(const QString& prefix, const TestHandler& handler)
{
    Route route;
    route.handler = handler;
    m_prefixRoutes.removeIf([&](const auto& entry) { return entry.first == prefix; });
    m_prefixRoutes.append({prefix, route});
}

void TestServer::removeRoute(const QString& pathOrTarget)
{
    m_routes.remove(pathOrTarget);
    m_prefixRoutes.removeIf([&](const auto& entry) { return entry.first == pathOrTarget; });
}

void TestServer::clearRoutes()
{
    m_routes.clear();
    m_prefixRoutes.clear();
}

TestServer::Route* TestServer::findRoute(const TestRequest& request)
{
    if (auto it = m_routes.find(request.target); it != m_routes.end())
        return &it.value();
    if (auto it = m_routes.find(request.path); it != m_routes.end())
        return &it.value();
    Route* best = nullptr;
    qsizetype bestLength = -1;
    for (auto& [prefix, route] : m_prefixRoutes) {
        if (request.path.startsWith(prefix) && prefix.size() > bestLength) {
            best = &route;
            bestLength = prefix.size();
        }
    }
    return best;
}

TestReply TestServer::nextReply(Route& route)
{
    const TestReply reply = route.script.at(qMin(route.next, int(route.script.size()) - 1));
    ++route.next;
    return reply;
}

TestReply TestServer::replyFor(const TestRequest& request)
{
    Route* route = findRoute(request);
    if (!route)
        return TestReply::notFound();
    // A handler may change the routes while it runs: work on a copy.
    if (route->handler) {
        const TestHandler handler = route->handler;
        return handler(request);
    }
    return nextReply(*route);
}

QList<TestRequest> TestServer::requests(const QString& pathOrTarget) const
{
    const bool wholeTarget = pathOrTarget.contains(QLatin1Char('?'));
    QList<TestRequest> matching;
    for (const TestRequest& request : m_log)
        if ((wholeTarget ? request.target : request.path) == pathOrTarget)
            matching.append(request);
    return matching;
}

int TestServer::requestCount(const QString& pathOrTarget) const
{
    return int(requests(pathOrTarget).size());
}

void TestServer::clearLog()
{
    m_log.clear();
}

void TestServer::requestStarted()
{
    ++m_inFlight;
    m_maxConcurrent = qMax(m_maxConcurrent, m_inFlight);
}

void TestServer::requestEnded()
{
    --m_inFlight;
}

QByteArray TestServer::templated(const QByteArray& content) const
{
    QByteArray result = content;
    return result.replace("{{BASE}}", origin().toUtf8());
}

QByteArray TestServer::fixture(const QString& relativePath) const
{
    return templated(readAll(fixturePath(relativePath)));
}

QString TestServer::fixturePath(const QString& relativePath)
{
    return QStringLiteral(HM_TEST_SOURCE_DIR "/fixtures/") + relativePath;
}

QString TestServer::caCertificatePath()
{
    return certsDir() + QStringLiteral("ca.pem");
}

QSslCertificate TestServer::caCertificate()
{
    return QSslCertificate(readAll(caCertificatePath()));
}

void TestServer::trustTestCertificate()
{
    const QSslCertificate ca = caCertificate();
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    if (ca.isNull() || configuration.caCertificates().contains(ca))
        return;
    configuration.addCaCertificate(ca);
    QSslConfiguration::setDefaultConfiguration(configuration);
}
