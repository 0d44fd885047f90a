#include "httprequest.h"
#include "localization.h"
#include "msaauthservice.h"
#include "remoteaddresses.h"
#include "temphome.h"
#include "testserver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QUrlQuery>

#include <memory>
#include <optional>

using RemoteAddresses::Service;

Q_DECLARE_METATYPE(TestReply)
Q_DECLARE_METATYPE(RemoteAddresses::Service)

namespace {

const QString kTokenPath = QStringLiteral("/oauth20_token.srf");
const QString kXboxPath = QStringLiteral("/user/authenticate");
const QString kXstsPath = QStringLiteral("/xsts/authorize");
const QString kLoginPath = QStringLiteral("/authentication/login_with_xbox");
const QString kProfilePath = QStringLiteral("/minecraft/profile");

const QByteArray kTokenReply =
    R"({"access_token":"ms-access","refresh_token":"ms-refresh-new","expires_in":3600})";
const QByteArray kXboxReply =
    R"({"Token":"xbl-token","DisplayClaims":{"xui":[{"uhs":"user-hash"}]}})";
const QByteArray kXstsReply =
    R"({"Token":"xsts-token","DisplayClaims":{"xui":[{"uhs":"user-hash","xid":"2535400000000001"}]}})";
const QByteArray kLoginReply =
    R"({"username":"d1b2","access_token":"mc-access","token_type":"Bearer","expires_in":3600})";
const QByteArray kProfileReply =
    R"({"id":"0a1b2c3d-4e5f-6789-abcd-ef0123456789","name":"Steve","skins":[]})";

// Compact, keys in ascending order.
const QByteArray kXboxRequest =
    "{\"Properties\":{\"AuthMethod\":\"RPS\",\"RpsTicket\":\"ms-access\","
    "\"SiteName\":\"127.0.0.1\"},"
    "\"RelyingParty\":\"http:/"
    "/auth.xboxlive.com\",\"TokenType\":\"JWT\"}";
const QByteArray kXstsRequest =
    "{\"Properties\":{\"SandboxId\":\"RETAIL\",\"UserTokens\":[\"xbl-token\"]},"
    "\"RelyingParty\":\"rp:/"
    "/api.minecraftservices.com/\",\"TokenType\":\"JWT\"}";

// Every token the happy chain hands out; none may leave the service except in
// the result.
const QStringList kSecrets = {QStringLiteral("ms-access"),  QStringLiteral("ms-refresh-new"),
                              QStringLiteral("xbl-token"),  QStringLiteral("xsts-token"),
                              QStringLiteral("mc-access"),  QStringLiteral("stored-refresh"),
                              QStringLiteral("auth-code-1")};

// Decodes a form body the way servers do: "+" is a space.
QList<std::pair<QString, QString>> decodeForm(const QByteArray& body)
{
    QList<std::pair<QString, QString>> pairs;
    for (QByteArray pair : body.split('&')) {
        pair.replace('+', ' ');
        const qsizetype equals = pair.indexOf('=');
        pairs.append({QUrl::fromPercentEncoding(pair.left(equals)),
                      QUrl::fromPercentEncoding(pair.mid(equals + 1))});
    }
    return pairs;
}

QString text(const char* key)
{
    return Loc::text(key);
}

// Collects every message Qt logs while it lives.
class LogCapture {
public:
    LogCapture()
    {
        s_messages.clear();
        m_previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture() { qInstallMessageHandler(m_previous); }
    static QStringList messages() { return s_messages; }

private:
    static void handle(QtMsgType, const QMessageLogContext&, const QString& message)
    {
        s_messages.append(message);
    }
    static inline QStringList s_messages;
    QtMessageHandler m_previous = nullptr;
};

} // namespace

class TestMsaAuthService : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void codeSignInRunsTheWholeChain();
    void refreshTokenSignIn();
    void emptyInputsAnswerAtOnce();
    void reservedCharactersInFormsArriveIntact_data();
    void reservedCharactersInFormsArriveIntact();
    void stepFailures_data();
    void stepFailures();
    void unreachableSteps_data();
    void unreachableSteps();
    void stalledReplyTimesOut();
    void profileFailuresKeepTheSession_data();
    void profileFailuresKeepTheSession();
    void tokenLifetime_data();
    void tokenLifetime();
    void authorizationUrlQueryOrder();
    void redirectMatching_data();
    void redirectMatching();
    void redirectWithNullOutParameters();

private:
    // Routes every endpoint to a reply that lets the chain go on.
    void routeHappyChain();
    AuthResult signIn(const std::function<void(MsaAuthService&, const AuthCallback&)>& start);

    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<TestServer> m_server;
    std::unique_ptr<MsaAuthService> m_service;
};

void TestMsaAuthService::initTestCase()
{
    m_home = std::make_unique<TempHome>();
    QVERIFY(m_home->writeFile(QStringLiteral("Hollowmere/settings.json"), R"({"language":"en"})"));
    QVERIFY(Localization::instance()->load());
}

void TestMsaAuthService::init()
{
    m_server = std::make_unique<TestServer>();
    QVERIFY(m_server->isListening());
    RemoteAddresses::setAllOriginsForTesting(m_server->origin());
    m_service = std::make_unique<MsaAuthService>();
    routeHappyChain();
}

void TestMsaAuthService::cleanup()
{
    m_service.reset();
    m_server.reset();
    RemoteAddresses::resetForTesting();
    HttpRequest::setTransferTimeoutForTesting(0);
}

void TestMsaAuthService::routeHappyChain()
{
    m_server->route(kTokenPath, TestReply::json(kTokenReply));
    m_server->route(kXboxPath, TestReply::json(kXboxReply));
    m_server->route(kXstsPath, TestReply::json(kXstsReply));
    m_server->route(kLoginPath, TestReply::json(kLoginReply));
    m_server->route(kProfilePath, TestReply::json(kProfileReply));
}

AuthResult
TestMsaAuthService::signIn(const std::function<void(MsaAuthService&, const AuthCallback&)>& start)
{
    std::optional<AuthResult> result;
    int calls = 0;
    start(*m_service, [&](const AuthResult& r) {
        result = r;
        ++calls;
    });
    if (!QTest::qWaitFor([&] { return result.has_value(); }, 15000))
        qFatal("the sign-in never called back");
    // Nothing may call back a second time.
    QTest::qWait(20);
    if (calls != 1)
        qFatal("the sign-in called back %d times", calls);
    return *result;
}

void TestMsaAuthService::codeSignInRunsTheWholeChain()
{
    QSignalSpy progress(m_service.get(), &MsaAuthService::progress);
    LogCapture log;
    const QDateTime before = QDateTime::currentDateTimeUtc();

    const AuthResult result = signIn([](MsaAuthService& service, const AuthCallback& done) {
        service.loginWithCode(QStringLiteral("auth-code-1"), done);
    });

    QVERIFY2(result.ok, qPrintable(result.error));
    QVERIFY(result.error.isEmpty());
    QVERIFY(!result.profileUnavailable);
    QVERIFY(!result.twoFactorRequired);
    QCOMPARE(result.name, QStringLiteral("Steve"));
    QCOMPARE(result.uuid, QStringLiteral("0a1b2c3d4e5f6789abcdef0123456789"));
    QCOMPARE(result.accessToken, QStringLiteral("mc-access"));
    QCOMPARE(result.refreshToken, QStringLiteral("ms-refresh-new"));
    QCOMPARE(result.xuid, QStringLiteral("2535400000000001"));
    QCOMPARE(result.clientToken, MsaAuthService::clientId());
    QCOMPARE(result.userType, QStringLiteral("msa"));
    QCOMPARE(result.expiresAt.timeSpec(), Qt::UTC);
    QVERIFY(result.expiresAt >= before.addSecs(3600));
    QVERIFY(result.expiresAt <= QDateTime::currentDateTimeUtc().addSecs(3600));

    QStringList lines;
    for (const auto& arguments : progress)
        lines.append(arguments.at(0).toString());
    QCOMPARE(
        lines,
        (QStringList{text("auth.msa.progress.exchangingCode"), text("auth.msa.progress.xboxSignIn"),
                     text("auth.msa.progress.xsts"), text("auth.msa.progress.minecraftServices")}));

    const QList<TestRequest> requests = m_server->requests();
    QCOMPARE(requests.size(), 5);
    const QStringList paths{kTokenPath, kXboxPath, kXstsPath, kLoginPath, kProfilePath};
    for (int i = 0; i < 5; ++i) {
        QCOMPARE(requests[i].path, paths[i]);
        QCOMPARE(requests[i].method, i < 4 ? QStringLiteral("POST") : QStringLiteral("GET"));
        QCOMPARE(requests[i].hasHeader("Authorization"), i == 4);
        if (i > 0)
            QCOMPARE(requests[i].header("Accept"), QByteArray("application/json"));
    }

    const TestRequest& token = requests[0];
    QCOMPARE(token.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    const QString redirect = m_server->origin() + QStringLiteral("/oauth20_desktop.srf");
    QCOMPARE(decodeForm(token.body),
             (QList<std::pair<QString, QString>>{
                 {QStringLiteral("client_id"), MsaAuthService::clientId()},
                 {QStringLiteral("code"), QStringLiteral("auth-code-1")},
                 {QStringLiteral("grant_type"), QStringLiteral("authorization_code")},
                 {QStringLiteral("redirect_uri"), redirect}}));

    QCOMPARE(requests[1].header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(requests[1].body, kXboxRequest);
    QCOMPARE(requests[2].body, kXstsRequest);
    QCOMPARE(requests[3].body, QByteArray(R"({"identityToken":"XBL3.0 x=user-hash;xsts-token"})"));
    QCOMPARE(requests[4].header("Authorization"), QByteArray("Bearer mc-access"));

    for (const QString& message : LogCapture::messages())
        for (const QString& secret : kSecrets)
            QVERIFY2(!message.contains(secret), qPrintable(message));
}

void TestMsaAuthService::refreshTokenSignIn()
{
    // A token endpoint that hands out no new refresh token: the chain carries
    // the empty one through and the caller keeps what it stored.
    m_server->route(kTokenPath, TestReply::json(R"({"access_token":"ms-access"})"));
    QSignalSpy progress(m_service.get(), &MsaAuthService::progress);

    const AuthResult result = signIn([](MsaAuthService& service, const AuthCallback& done) {
        service.loginWithRefreshToken(QStringLiteral("stored-refresh"), done);
    });

    QVERIFY2(result.ok, qPrintable(result.error));
    QVERIFY(result.refreshToken.isEmpty());
    QCOMPARE(result.name, QStringLiteral("Steve"));
    QCOMPARE(progress.first().at(0).toString(), text("auth.msa.progress.refreshingSession"));
    QCOMPARE(progress.size(), 4);

    const TestRequest token = m_server->requests(kTokenPath).first();
    QCOMPARE(decodeForm(token.body),
             (QList<std::pair<QString, QString>>{
                 {QStringLiteral("client_id"), MsaAuthService::clientId()},
                 {QStringLiteral("refresh_token"), QStringLiteral("stored-refresh")},
                 {QStringLiteral("grant_type"), QStringLiteral("refresh_token")},
                 {QStringLiteral("redirect_uri"),
                  m_server->origin() + QStringLiteral("/oauth20_desktop.srf")},
                 {QStringLiteral("scope"), QStringLiteral("service::127.0.0.1::MBI_SSL")}}));
}

void TestMsaAuthService::emptyInputsAnswerAtOnce()
{
    QSignalSpy progress(m_service.get(), &MsaAuthService::progress);
    std::optional<AuthResult> byCode;
    std::optional<AuthResult> byRefresh;
    m_service->loginWithCode(QString(), [&](const AuthResult& r) { byCode = r; });
    m_service->loginWithRefreshToken(QString(), [&](const AuthResult& r) { byRefresh = r; });

    QVERIFY(byCode && byRefresh);
    QVERIFY(!byCode->ok);
    QCOMPARE(byCode->error, text("auth.msa.error.noAuthCode"));
    QVERIFY(!byRefresh->ok);
    QCOMPARE(byRefresh->error, text("auth.msa.error.profileNotLinked"));
    QVERIFY(progress.isEmpty());
    QTest::qWait(20);
    QCOMPARE(m_server->requestCount(), 0);
}

void TestMsaAuthService::reservedCharactersInFormsArriveIntact_data()
{
    QTest::addColumn<bool>("refresh");
    QTest::addColumn<QString>("secret");
    QTest::newRow("code with plus") << false << QStringLiteral("M.C5+abc/def==");
    QTest::newRow("code with delimiters")
        << false << QStringLiteral("a b&c=d#e%20f?g;h") + QChar(0x00e9);
    QTest::newRow("refresh token with plus") << true << QStringLiteral("M.R3_BAY.+-*token+");
}

void TestMsaAuthService::reservedCharactersInFormsArriveIntact()
{
    QFETCH(bool, refresh);
    QFETCH(QString, secret);
    const AuthResult result = signIn([&](MsaAuthService& service, const AuthCallback& done) {
        if (refresh)
            service.loginWithRefreshToken(secret, done);
        else
            service.loginWithCode(secret, done);
    });
    QVERIFY(result.ok);

    const QByteArray body = m_server->requests(kTokenPath).first().body;
    QVERIFY2(!body.contains('+') && !body.contains(' '), body.constData());
    const auto pairs = decodeForm(body);
    QCOMPARE(pairs.at(1).second, secret);
}

void TestMsaAuthService::stepFailures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<TestReply>("reply");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("requests");
    // Whether the service could not answer now rather than refusing the session.
    QTest::addColumn<bool>("unavailable");

    const auto json = [](const char* body, int status) {
        return TestReply::json(QByteArray(body), status);
    };

    QTest::newRow("token: description wins")
        << kTokenPath
        << json(R"({"error":"invalid_grant","error_description":"The code has expired."})", 400)
        << QStringLiteral("The code has expired.") << 1 << false;
    QTest::newRow("token: error code") << kTokenPath << json(R"({"error":"invalid_grant"})", 400)
                                       << QStringLiteral("invalid_grant") << 1 << false;
    QTest::newRow("token: bare status")
        << kTokenPath << TestReply::status(503, "busy")
        << text("auth.msa.error.microsoftCode").arg(503) << 1 << true;
    QTest::newRow("token: too many requests")
        << kTokenPath << json(R"({"error":"too_many_requests"})", 429)
        << QStringLiteral("too_many_requests") << 1 << true;
    QTest::newRow("token: request time-out")
        << kTokenPath << TestReply::status(408) << text("auth.msa.error.microsoftCode").arg(408)
        << 1 << true;
    QTest::newRow("token: other 2xx fails")
        << kTokenPath << json(R"({"access_token":"ms-access"})", 201)
        << text("auth.msa.error.microsoftCode").arg(201) << 1 << false;
    QTest::newRow("token: no access token") << kTokenPath << json(R"({"refresh_token":"r"})", 200)
                                            << text("auth.msa.error.noAccessToken") << 1 << false;

    QTest::newRow("xbox: rejected")
        << kXboxPath << json("{}", 400) << text("auth.msa.error.xboxTokenRejected").arg(400) << 2
        << false;
    QTest::newRow("xbox: server error")
        << kXboxPath << TestReply::status(503) << text("auth.msa.error.xboxUnavailable").arg(503)
        << 2 << true;
    QTest::newRow("xbox: no token") << kXboxPath << TestReply::json("not json")
                                    << text("auth.msa.error.xboxNoToken") << 2 << false;

    QTest::newRow("xsts: no Xbox profile")
        << kXstsPath << json(R"({"XErr":2148916233,"Message":"ignored"})", 401)
        << text("auth.msa.error.noXboxProfile") << 3 << false;
    QTest::newRow("xsts: region without Xbox Live")
        << kXstsPath << json(R"({"XErr":2148916235})", 401) << text("auth.msa.error.countryBlocked")
        << 3 << false;
    QTest::newRow("xsts: age verification (C)")
        << kXstsPath << json(R"({"XErr":2148916236})", 401)
        << text("auth.msa.error.ageVerification") << 3 << false;
    QTest::newRow("xsts: age verification (D)")
        << kXstsPath << json(R"({"XErr":2148916237})", 401)
        << text("auth.msa.error.ageVerification") << 3 << false;
    QTest::newRow("xsts: child account") << kXstsPath << json(R"({"XErr":2148916238})", 401)
                                         << text("auth.msa.error.childAccount") << 3 << false;
    QTest::newRow("xsts: server message")
        << kXstsPath << json(R"({"XErr":2148916234,"Message":"Banned for now"})", 401)
        << QStringLiteral("Banned for now") << 3 << false;
    QTest::newRow("xsts: unknown XErr")
        << kXstsPath << json(R"({"XErr":2148916239})", 401)
        << text("auth.msa.error.xboxRejected").arg(QStringLiteral("2148916239")) << 3 << false;
    QTest::newRow("xsts: nothing said")
        << kXstsPath << json("{}", 401) << text("auth.msa.error.xboxRejected").arg(0) << 3 << false;
    QTest::newRow("xsts: other status")
        << kXstsPath << json(R"({"XErr":2148916238})", 403)
        << text("auth.msa.error.xstsRejected").arg(403) << 3 << false;
    QTest::newRow("xsts: server error")
        << kXstsPath << TestReply::status(500) << text("auth.msa.error.xstsUnavailable").arg(500)
        << 3 << true;
    QTest::newRow("xsts: empty xui")
        << kXstsPath << json(R"({"Token":"xsts-token","DisplayClaims":{"xui":[]}})", 200)
        << text("auth.msa.error.xstsNoUser") << 3 << false;
    QTest::newRow("xsts: no token")
        << kXstsPath << json(R"({"DisplayClaims":{"xui":[{"uhs":"h","xid":"1"}]}})", 200)
        << text("auth.msa.error.xstsNoUser") << 3 << false;

    QTest::newRow("services: rejected")
        << kLoginPath << json("{}", 403) << text("auth.msa.error.servicesRejected").arg(403) << 4
        << false;
    QTest::newRow("services: bad gateway")
        << kLoginPath << TestReply::status(502)
        << text("auth.msa.error.servicesUnavailable").arg(502) << 4 << true;
    QTest::newRow("services: too many requests")
        << kLoginPath << TestReply::status(429)
        << text("auth.msa.error.servicesUnavailable").arg(429) << 4 << true;
    QTest::newRow("services: no token") << kLoginPath << json(R"({"expires_in":3600})", 200)
                                        << text("auth.msa.error.servicesNoToken") << 4 << false;
}

void TestMsaAuthService::stepFailures()
{
    QFETCH(QString, path);
    QFETCH(TestReply, reply);
    QFETCH(QString, error);
    QFETCH(int, requests);
    QFETCH(bool, unavailable);
    m_server->route(path, reply);

    const AuthResult result = signIn([](MsaAuthService& service, const AuthCallback& done) {
        service.loginWithCode(QStringLiteral("auth-code-1"), done);
    });

    QVERIFY(!result.ok);
    QCOMPARE(result.error, error);
    QVERIFY(!result.profileUnavailable);
    QCOMPARE(result.serviceUnavailable, unavailable);
    // Before the game-services login succeeds a failure carries nothing else.
    QVERIFY(result.accessToken.isEmpty());
    QVERIFY(result.refreshToken.isEmpty());
    QVERIFY(result.userType.isEmpty());
    QVERIFY(!result.expiresAt.isValid());
    QCOMPARE(m_server->requestCount(), requests);
}

void TestMsaAuthService::unreachableSteps_data()
{
    QTest::addColumn<Service>("service");
    QTest::addColumn<QString>("key");
    QTest::newRow("token endpoint")
        << Service::MicrosoftLogin << "auth.msa.error.microsoftUnreachable";
    QTest::newRow("xbox live") << Service::XboxUserAuth << "auth.msa.error.xboxUnreachable";
    QTest::newRow("xsts") << Service::XboxXsts << "auth.msa.error.xstsUnreachable";
    QTest::newRow("game services") << Service::GameServices << "auth.msa.error.servicesUnreachable";
}

void TestMsaAuthService::unreachableSteps()
{
    QFETCH(Service, service);
    QFETCH(QString, key);
    RemoteAddresses::setOriginForTesting(service, TestServer::closedOrigin());

    const AuthResult result = signIn([](MsaAuthService& msa, const AuthCallback& done) {
        msa.loginWithCode(QStringLiteral("auth-code-1"), done);
    });

    QVERIFY(!result.ok);
    const QString prefix = Loc::text(key.toLatin1().constData()).arg(QString());
    QVERIFY2(result.error.startsWith(prefix) && result.error.size() > prefix.size(),
             qPrintable(result.error));
    QVERIFY(result.serviceUnavailable);
    QVERIFY(result.accessToken.isEmpty());
}

void TestMsaAuthService::stalledReplyTimesOut()
{
    // The profile answers with its status line and then nothing: cut off by the
    // time-out, that is no answer at all.
    HttpRequest::setTransferTimeoutForTesting(300);
    m_server->route(kProfilePath, TestReply::json(kProfileReply).stalledAfter(4));

    const AuthResult result = signIn([](MsaAuthService& service, const AuthCallback& done) {
        service.loginWithCode(QStringLiteral("auth-code-1"), done);
    });

    QVERIFY(!result.ok);
    QVERIFY(!result.profileUnavailable);
    QVERIFY(result.serviceUnavailable);
    QCOMPARE(result.error,
             text("auth.msa.error.servicesUnreachable").arg(text("auth.error.timedOut")));
    QCOMPARE(result.accessToken, QStringLiteral("mc-access"));
}

void TestMsaAuthService::profileFailuresKeepTheSession_data()
{
    QTest::addColumn<TestReply>("reply");
    QTest::addColumn<QString>("error");
    QTest::addColumn<bool>("unavailable");
    QTest::addColumn<bool>("serviceUnavailable");
    QTest::newRow("404") << TestReply::json(R"({"error":"NOT_FOUND"})", 404)
                         << text("auth.msa.error.noProfileYet") << true << false;
    QTest::newRow("401") << TestReply::status(401) << text("auth.msa.error.noProfileYet") << true
                         << false;
    QTest::newRow("no name") << TestReply::json(R"({"id":"0a1b"})")
                             << text("auth.msa.error.servicesNoProfile") << true << false;
    QTest::newRow("no id") << TestReply::json(R"({"name":"Steve"})")
                           << text("auth.msa.error.servicesNoProfile") << true << false;
    QTest::newRow("500") << TestReply::status(500)
                         << text("auth.msa.error.profileFetchFailed").arg(500) << false << true;
    QTest::newRow("429") << TestReply::status(429)
                         << text("auth.msa.error.profileFetchFailed").arg(429) << false << true;
    QTest::newRow("403") << TestReply::status(403)
                         << text("auth.msa.error.profileFetchFailed").arg(403) << false << false;
}

void TestMsaAuthService::profileFailuresKeepTheSession()
{
    QFETCH(TestReply, reply);
    QFETCH(QString, error);
    QFETCH(bool, unavailable);
    QFETCH(bool, serviceUnavailable);
    m_server->route(kProfilePath, reply);

    const AuthResult result = signIn([](MsaAuthService& service, const AuthCallback& done) {
        service.loginWithCode(QStringLiteral("auth-code-1"), done);
    });

    QVERIFY(!result.ok);
    QCOMPARE(result.error, error);
    QCOMPARE(result.profileUnavailable, unavailable);
    QCOMPARE(result.serviceUnavailable, serviceUnavailable);
    QCOMPARE(result.accessToken, QStringLiteral("mc-access"));
    QCOMPARE(result.refreshToken, QStringLiteral("ms-refresh-new"));
    QCOMPARE(result.xuid, QStringLiteral("2535400000000001"));
    QCOMPARE(result.clientToken, MsaAuthService::clientId());
    QCOMPARE(result.userType, QStringLiteral("msa"));
    QVERIFY(result.expiresAt.isValid());
}

void TestMsaAuthService::tokenLifetime_data()
{
    QTest::addColumn<QByteArray>("login");
    QTest::addColumn<int>("seconds");
    QTest::newRow("an hour") << QByteArray(R"({"access_token":"mc-access","expires_in":3600})")
                             << 3600;
    QTest::newRow("absent") << QByteArray(R"({"access_token":"mc-access"})") << 86400;
    QTest::newRow("text") << QByteArray(R"({"access_token":"mc-access","expires_in":"3600"})")
                          << 86400;
    QTest::newRow("fraction") << QByteArray(R"({"access_token":"mc-access","expires_in":1.5})")
                              << 86400;
}

void TestMsaAuthService::tokenLifetime()
{
    QFETCH(QByteArray, login);
    QFETCH(int, seconds);
    m_server->route(kLoginPath, TestReply::json(login));

    const QDateTime before = QDateTime::currentDateTimeUtc();
    const AuthResult result = signIn([](MsaAuthService& service, const AuthCallback& done) {
        service.loginWithRefreshToken(QStringLiteral("stored-refresh"), done);
    });
    const QDateTime after = QDateTime::currentDateTimeUtc();

    QVERIFY(result.ok);
    QVERIFY(result.expiresAt >= before.addSecs(seconds));
    QVERIFY(result.expiresAt <= after.addSecs(seconds));
}

void TestMsaAuthService::authorizationUrlQueryOrder()
{
    RemoteAddresses::resetForTesting();
    const QUrl url = MsaAuthService::authorizationUrl();
    QCOMPARE(url.scheme(), QStringLiteral("https"));
    QCOMPARE(url.host(), QStringLiteral("login.live.com"));
    QCOMPARE(url.path(), QStringLiteral("/oauth20_authorize.srf"));

    const QList<std::pair<QString, QString>> expected{
        {QStringLiteral("client_id"), MsaAuthService::clientId()},
        {QStringLiteral("response_type"), QStringLiteral("code")},
        {QStringLiteral("redirect_uri"),
         QStringLiteral("https://login.live.com/oauth20_desktop.srf")},
        {QStringLiteral("scope"), QStringLiteral("service::user.auth.xboxlive.com::MBI_SSL")},
        {QStringLiteral("prompt"), QStringLiteral("select_account")}};
    QCOMPARE(decodeForm(url.query(QUrl::FullyEncoded).toLatin1()), expected);
    // The address survives being handed around as text.
    QCOMPARE(QUrl(url.toString()), url);
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{16}$"))
                .match(MsaAuthService::clientId())
                .hasMatch());
}

void TestMsaAuthService::redirectMatching_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("matched");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("error");

    const QString redirect = QStringLiteral("https://login.live.com/oauth20_desktop.srf");
    QTest::newRow("code in query")
        << redirect + "?code=M.C1+x%2By&lc=1033" << true << QStringLiteral("M.C1+x+y") << QString();
    QTest::newRow("code in fragment") << redirect + "#code=X" << true << "X" << QString();
    QTest::newRow("description wins")
        << redirect + "?error=access_denied&error_description=the+user+declined" << true
        << QString() << QStringLiteral("the+user+declined");
    QTest::newRow("only error, fragment unread")
        << redirect + "?error=access_denied#code=X" << true << QString() << "access_denied";
    QTest::newRow("empty description")
        << redirect + "?error=server_error&error_description=" << true << QString()
        << "server_error";
    QTest::newRow("decoded error") << redirect + "?error_description=caf%C3%A9%20closed&error=x"
                                   << true << QString() << QStringLiteral("café closed");
    QTest::newRow("neither") << redirect << true << QString() << QString();
    QTest::newRow("host in capitals")
        << "https://LOGIN.LIVE.COM/oauth20_desktop.srf?code=X" << true << "X" << QString();
    QTest::newRow("other scheme and port")
        << "http://login.live.com:8080/oauth20_desktop.srf?code=X" << true << "X" << QString();
    QTest::newRow("path in capitals")
        << "https://login.live.com/OAUTH20_DESKTOP.SRF?code=X" << false << "untouched"
        << "untouched";
    QTest::newRow("authorize page")
        << MsaAuthService::authorizationUrl().toString() << false << "untouched"
        << "untouched";
    QTest::newRow("other host") << "https://login.example.com/oauth20_desktop.srf?code=X" << false
                                << "untouched"
                                << "untouched";
}

void TestMsaAuthService::redirectMatching()
{
    RemoteAddresses::resetForTesting();
    QFETCH(QString, url);
    QFETCH(bool, matched);
    QFETCH(QString, code);
    QFETCH(QString, error);

    QString gotCode = QStringLiteral("untouched");
    QString gotError = QStringLiteral("untouched");
    QCOMPARE(MsaAuthService::matchRedirect(QUrl(url), &gotCode, &gotError), matched);
    QCOMPARE(gotCode, code);
    QCOMPARE(gotError, error);
}

void TestMsaAuthService::redirectWithNullOutParameters()
{
    RemoteAddresses::resetForTesting();
    QVERIFY(MsaAuthService::matchRedirect(
        QUrl(QStringLiteral("https://login.live.com/oauth20_desktop.srf?code=X"))));
    QVERIFY(!MsaAuthService::matchRedirect(QUrl(QStringLiteral("https://login.live.com/"))));
}

QTEST_GUILESS_MAIN(TestMsaAuthService)
#include "tst_msaauthservice.moc"
