#include "authservice.h"
#include "httprequest.h"
#include "launcherpaths.h"
#include "localization.h"
#include "remoteaddresses.h"
#include "temphome.h"
#include "testhelpers.h"
#include "testserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

using RemoteAddresses::Service;

// What a sign-in call handed to its callback, and how often.
struct SignIn {
    int calls = 0;
    AuthResult result;
    AuthCallback callback()
    {
        return [this](const AuthResult& r) {
            ++calls;
            result = r;
        };
    }
};

struct Injector {
    int calls = 0;
    QString path;
    QString error;
    AuthService::InjectorCallback callback()
    {
        return [this](const QString& p, const QString& e) {
            ++calls;
            path = p;
            error = e;
        };
    }
};

const QByteArray kProfileReply =
    R"({"accessToken":"fresh-token","clientToken":"ct",)"
    R"("selectedProfile":{"id":"0A1B2C3D-4e5f-6789-abcd-ef0123456789",)"
    R"("name":"Steve"}})";
const QString kProfileUuid = QStringLiteral("0A1B2C3D4e5f6789abcdef0123456789");

QByteArray sha256Hex(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

QStringList progressLines(const QSignalSpy& spy)
{
    return TestHelpers::firstArguments(spy);
}

} // namespace

class AuthServiceTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void offlineIdentity();
    void clientTokens();
    void missingInputAnsweredAtOnce();
    void passwordSignIn();
    void failedSignInMessages_data();
    void failedSignInMessages();
    void secondFactorRequiredThenGiven();
    void storedTokenStillValid();
    void storedTokenRefreshed_data();
    void storedTokenRefreshed();
    void refreshFailureFallsBackToPassword();
    void networkErrorEndsValidation();
    void stalledServerTimesOut();
    void redirectsStayOnTheSameOrigin();
    void noSecretsInLogsOrMessages();
    void serviceDestroyedWithRequestInFlight();

    void agentDownloadedVerifiedAndReused();
    void agentPresentAnsweredAtOnce();
    void agentChecksumMismatchLeavesNoFile();
    void agentFailures_data();
    void agentFailures();
    void agentUnwritableDirectory();

private:
    void serveAgent(const QByteArray& jar, const QByteArray& metadata);

    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<TestServer> m_server;
    std::unique_ptr<AuthService> m_auth;
};

void AuthServiceTest::initTestCase()
{
    TempHome home;
    const QByteArray english = R"({"language":"en"})";
    QVERIFY(home.writeFile(QStringLiteral("Hollowmere/settings.json"), english));
    QVERIFY(Localization::instance()->load());
    QCOMPARE(Localization::instance()->resolvedLanguage(), QStringLiteral("en"));
}

void AuthServiceTest::init()
{
    m_home = std::make_unique<TempHome>();
    m_server = std::make_unique<TestServer>();
    QVERIFY(m_server->isListening());
    RemoteAddresses::setAllOriginsForTesting(m_server->origin());
    m_auth = std::make_unique<AuthService>();
}

void AuthServiceTest::cleanup()
{
    m_auth.reset();
    m_server.reset();
    m_home.reset();
    RemoteAddresses::resetForTesting();
    HttpRequest::setTransferTimeoutForTesting(0);
}

void AuthServiceTest::offlineIdentity()
{
    const AuthResult abc = AuthService::offline(QStringLiteral("abc"));
    QVERIFY(abc.ok);
    QVERIFY(abc.error.isEmpty());
    QCOMPARE(abc.name, QStringLiteral("abc"));
    QCOMPARE(abc.uuid, QStringLiteral("3d5cec06bd1531fa982f5dac8c06f1c7"));
    QCOMPARE(abc.accessToken, QStringLiteral("0"));
    QCOMPARE(abc.clientToken, QStringLiteral("0"));
    QCOMPARE(abc.userType, QStringLiteral("legacy"));
    QVERIFY(abc.refreshToken.isEmpty() && abc.xuid.isEmpty() && !abc.expiresAt.isValid());

    const AuthResult empty = AuthService::offline(QString());
    QVERIFY(!empty.ok);
    QCOMPARE(empty.error, QStringLiteral("An offline launch needs a nickname"));
    QVERIFY(empty.uuid.isEmpty());

    const AuthResult space = AuthService::offline(QStringLiteral(" "));
    QVERIFY(space.ok);
    QCOMPARE(space.name, QStringLiteral(" "));

    QCOMPARE(AuthService::offline(QStringLiteral("Steve")).uuid,
             AuthService::offline(QStringLiteral("Steve")).uuid);
    QVERIFY(AuthService::offline(QStringLiteral("Steve")).uuid !=
            AuthService::offline(QStringLiteral("steve")).uuid);

    for (const QString& nickname : {QStringLiteral("abc"), QStringLiteral("Игрок_1"),
                                    QStringLiteral("x"), QStringLiteral("NotchNotchNotch")}) {
        const QString uuid = AuthService::offline(nickname).uuid;
        QCOMPARE(uuid.size(), 32);
        QCOMPARE(uuid, uuid.toLower());
        QCOMPARE(uuid.at(12), QLatin1Char('3'));
        QVERIFY2(QStringLiteral("89ab").contains(uuid.at(16)), qPrintable(uuid));
    }
}

void AuthServiceTest::clientTokens()
{
    const QString first = AuthService::generateClientToken();
    const QString second = AuthService::generateClientToken();
    QVERIFY(first != second);
    for (const QString& token : {first, second}) {
        QCOMPARE(token.size(), 36);
        QCOMPARE(token, token.toLower());
        for (int dash : {8, 13, 18, 23})
            QCOMPARE(token.at(dash), QLatin1Char('-'));
        QCOMPARE(token.count(QLatin1Char('-')), 4);
    }
}

void AuthServiceTest::missingInputAnsweredAtOnce()
{
    QSignalSpy progress(m_auth.get(), &AuthService::progress);

    SignIn noLogin;
    m_auth->loginElyBy(QString(), QStringLiteral("pw"), QStringLiteral("ct"),
                       QStringLiteral("token"), noLogin.callback());
    QCOMPARE(noLogin.calls, 1);
    QVERIFY(!noLogin.result.ok);
    QCOMPARE(noLogin.result.error, Loc::text("auth.ely.error.noLogin"));

    SignIn noPassword;
    m_auth->loginElyBy(QStringLiteral("steve"), QString(), QStringLiteral("ct"), QString(),
                       noPassword.callback());
    QCOMPARE(noPassword.calls, 1);
    QCOMPARE(noPassword.result.error, Loc::text("auth.ely.error.noPassword"));

    SignIn direct;
    m_auth->authenticate(QStringLiteral("steve"), QString(), QStringLiteral("ct"),
                         direct.callback());
    QCOMPARE(direct.calls, 1);
    QCOMPARE(direct.result.error, Loc::text("auth.ely.error.noPassword"));

    QTest::qWait(50);
    QCOMPARE(m_server->requestCount(), 0);
    QCOMPARE(progress.count(), 0);
    QCOMPARE(noLogin.calls + noPassword.calls + direct.calls, 3);
}

void AuthServiceTest::passwordSignIn()
{
    m_server->route("/auth/authenticate", TestReply::json(kProfileReply));
    QSignalSpy progress(m_auth.get(), &AuthService::progress);

    SignIn signIn;
    m_auth->loginElyBy(QStringLiteral("steve"), QStringLiteral("pa:ss \"word\""),
                       QStringLiteral("ct-1"), QString(), signIn.callback());
    QCOMPARE(signIn.calls, 0); // replies always come from the event loop
    QTRY_COMPARE(signIn.calls, 1);

    const AuthResult& r = signIn.result;
    QVERIFY2(r.ok, qPrintable(r.error));
    QVERIFY(r.error.isEmpty());
    QCOMPARE(r.name, QStringLiteral("Steve"));
    QCOMPARE(r.uuid, kProfileUuid);
    QCOMPARE(r.accessToken, QStringLiteral("fresh-token"));
    QCOMPARE(r.clientToken, QStringLiteral("ct-1"));
    QCOMPARE(r.userType, QStringLiteral("ELYBY"));
    QVERIFY(r.refreshToken.isEmpty() && r.xuid.isEmpty());
    QCOMPARE(progressLines(progress), QStringList{QStringLiteral("Signing in to Ely.by…")});

    const TestRequest request = m_server->requests("/auth/authenticate").value(0);
    QCOMPARE(request.method, QStringLiteral("POST"));
    QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    const QByteArray expected = R"({"clientToken":"ct-1","password":"pa:ss \"word\"",)"
                                R"("requestUser":true,"username":"steve"})";
    QCOMPARE(request.body, expected);

    // Without a stored client token a fresh one is sent and handed back.
    SignIn fresh;
    m_auth->loginElyBy(QStringLiteral("steve"), QStringLiteral("pw"), QString(), QString(),
                       fresh.callback());
    QTRY_COMPARE(fresh.calls, 1);
    QCOMPARE(fresh.result.clientToken.size(), 36);
    const QByteArray sent = m_server->requests("/auth/authenticate").value(1).body;
    QVERIFY(sent.contains("\"clientToken\":\"" + fresh.result.clientToken.toUtf8() + "\""));
}

void AuthServiceTest::failedSignInMessages_data()
{
    QTest::addColumn<TestReply>("reply");
    QTest::addColumn<QString>("error");
    QTest::addColumn<bool>("twoFactor");

    QTest::newRow("wrong password")
        << TestReply::json(
               R"({"error":"ForbiddenOperationException",)"
               R"("errorMessage":"Invalid credentials. Invalid username or password."})",
               401)
        << QStringLiteral("Invalid credentials. Invalid username or password.") << false;
    QTest::newRow("only error member")
        << TestReply::json(R"({"error":"ForbiddenOperationException"})", 403)
        << QStringLiteral("ForbiddenOperationException") << false;
    QTest::newRow("two factor anywhere, any case")
        << TestReply::json(R"({"errorMessage":"This account is protected with TWO Factor auth."})",
                           401)
        << QStringLiteral("The account is protected by two-factor authentication") << true;
    QTest::newRow("empty 500") << TestReply::status(500)
                               << QStringLiteral("The authentication server returned code 500")
                               << false;
    QTest::newRow("html 502") << TestReply::text("<html>Bad gateway</html>", 502)
                              << QStringLiteral("The authentication server returned code 502")
                              << false;
    QTest::newRow("200 without profile") << TestReply::json(R"({"accessToken":"t"})")
                                         << Loc::text("auth.ely.error.noGameProfile") << false;
    QTest::newRow("200 without token")
        << TestReply::json(R"({"selectedProfile":{"id":"ab","name":"Steve"}})")
        << Loc::text("auth.ely.error.noGameProfile") << false;
    QTest::newRow("200 with an array") << TestReply::json(R"([{"accessToken":"t"}])")
                                       << Loc::text("auth.ely.error.noGameProfile") << false;
    QTest::newRow("200 not json") << TestReply::text("welcome")
                                  << Loc::text("auth.ely.error.noGameProfile") << false;
    QTest::newRow("endless reply")
        << TestReply::ok().endless()
        << Loc::text("auth.ely.error.unreachable").arg(Loc::text("common.error.replyTooLarge"))
        << false;
}

void AuthServiceTest::failedSignInMessages()
{
    QFETCH(TestReply, reply);
    QFETCH(QString, error);
    QFETCH(bool, twoFactor);
    m_server->route("/auth/authenticate", reply);

    SignIn signIn;
    m_auth->authenticate(QStringLiteral("steve"), QStringLiteral("pw"), QStringLiteral("ct"),
                         signIn.callback());
    QTRY_COMPARE(signIn.calls, 1);
    QVERIFY(!signIn.result.ok);
    QCOMPARE(signIn.result.error, error);
    QCOMPARE(signIn.result.twoFactorRequired, twoFactor);
    QCOMPARE(signIn.result.clientToken, QStringLiteral("ct"));
    QTest::qWait(20);
    QCOMPARE(signIn.calls, 1);
}

void AuthServiceTest::secondFactorRequiredThenGiven()
{
    m_server->route("/auth/authenticate", [](const TestRequest& request) {
        if (request.body.contains("\"password\":\"pw:123456\""))
            return TestReply::json(kProfileReply);
        return TestReply::json(
            R"({"error":"ForbiddenOperationException","errorMessage":"Account protected with two factor auth."})",
            401);
    });

    SignIn first;
    m_auth->loginElyBy(QStringLiteral("steve"), QStringLiteral("pw"), QStringLiteral("ct"),
                       QString(), first.callback());
    QTRY_COMPARE(first.calls, 1);
    QVERIFY(!first.result.ok);
    QVERIFY(first.result.twoFactorRequired);
    QCOMPARE(first.result.error, Loc::text("auth.ely.error.twoFactor"));

    SignIn second;
    m_auth->loginElyByWithTotp(QStringLiteral("steve"), QStringLiteral("pw"),
                               QStringLiteral("123456"), QStringLiteral("ct"), second.callback());
    QTRY_COMPARE(second.calls, 1);
    QVERIFY2(second.result.ok, qPrintable(second.result.error));
    QVERIFY(!second.result.twoFactorRequired);
    QCOMPARE(second.result.name, QStringLiteral("Steve"));
    const QByteArray expected = R"({"clientToken":"ct","password":"pw:123456",)"
                                R"("requestUser":true,"username":"steve"})";
    QCOMPARE(m_server->requests("/auth/authenticate").value(1).body, expected);

    SignIn generated;
    m_auth->loginElyByWithTotp(QStringLiteral("steve"), QStringLiteral("pw"),
                               QStringLiteral("123456"), QString(), generated.callback());
    QTRY_COMPARE(generated.calls, 1);
    QCOMPARE(generated.result.clientToken.size(), 36);
}

void AuthServiceTest::storedTokenStillValid()
{
    m_server->route("/auth/validate", TestReply::status(200));
    QSignalSpy progress(m_auth.get(), &AuthService::progress);

    SignIn signIn;
    m_auth->loginElyBy(QStringLiteral("steve"), QString(), QStringLiteral("ct"),
                       QStringLiteral("stored-token"), signIn.callback());
    QTRY_COMPARE(signIn.calls, 1);
    const AuthResult& r = signIn.result;
    QVERIFY(r.ok);
    QCOMPARE(r.accessToken, QStringLiteral("stored-token"));
    QCOMPARE(r.clientToken, QStringLiteral("ct"));
    QCOMPARE(r.userType, QStringLiteral("ELYBY"));
    QVERIFY(r.name.isEmpty() && r.uuid.isEmpty());

    QCOMPARE(m_server->requestCount(), 1);
    const QByteArray expected = R"({"accessToken":"stored-token"})";
    QCOMPARE(m_server->requests("/auth/validate").value(0).body, expected);
    QCOMPARE(progressLines(progress), QStringList{Loc::text("auth.ely.progress.checkingToken")});
}

void AuthServiceTest::storedTokenRefreshed_data()
{
    QTest::addColumn<int>("validateStatus");
    QTest::newRow("204") << 204;
    QTest::newRow("403") << 403;
}

void AuthServiceTest::storedTokenRefreshed()
{
    QFETCH(int, validateStatus);
    m_server->route("/auth/validate", TestReply::status(validateStatus));
    m_server->route("/auth/refresh", TestReply::json(kProfileReply));
    QSignalSpy progress(m_auth.get(), &AuthService::progress);

    SignIn signIn;
    m_auth->loginElyBy(QStringLiteral("steve"), QString(), QString(),
                       QStringLiteral("stored-token"), signIn.callback());
    QTRY_COMPARE(signIn.calls, 1);
    const AuthResult& r = signIn.result;
    QVERIFY2(r.ok, qPrintable(r.error));
    QCOMPARE(r.accessToken, QStringLiteral("fresh-token"));
    QCOMPARE(r.name, QStringLiteral("Steve"));
    QCOMPARE(r.uuid, kProfileUuid);
    QCOMPARE(r.userType, QStringLiteral("ELYBY"));
    QCOMPARE(r.clientToken.size(), 36);

    QCOMPARE(m_server->requestCount("/auth/authenticate"), 0);
    const QByteArray expected = R"({"accessToken":"stored-token","clientToken":")" +
                                r.clientToken.toUtf8() + R"(","requestUser":true})";
    QCOMPARE(m_server->requests("/auth/refresh").value(0).body, expected);
    QCOMPARE(progressLines(progress),
             (QStringList{Loc::text("auth.ely.progress.checkingToken"),
                          Loc::text("auth.ely.progress.refreshingToken")}));
}

void AuthServiceTest::refreshFailureFallsBackToPassword()
{
    m_server->route("/auth/validate", TestReply::status(403));
    m_server->route("/auth/refresh", TestReply::json(R"({"errorMessage":"Token expired."})", 403));
    m_server->route("/auth/authenticate", TestReply::json(kProfileReply));
    QSignalSpy progress(m_auth.get(), &AuthService::progress);

    SignIn signIn;
    m_auth->loginElyBy(QStringLiteral("steve"), QStringLiteral("pw"), QStringLiteral("ct"),
                       QStringLiteral("stored-token"), signIn.callback());
    QTRY_COMPARE(signIn.calls, 1);
    QVERIFY2(signIn.result.ok, qPrintable(signIn.result.error));
    QCOMPARE(signIn.result.accessToken, QStringLiteral("fresh-token"));
    QCOMPARE(signIn.result.clientToken, QStringLiteral("ct"));
    QCOMPARE(progressLines(progress), (QStringList{Loc::text("auth.ely.progress.checkingToken"),
                                                   Loc::text("auth.ely.progress.refreshingToken"),
                                                   Loc::text("auth.ely.progress.signingIn")}));

    // Without a password the missing password only shows once both tokens failed.
    SignIn noPassword;
    m_auth->loginElyBy(QStringLiteral("steve"), QString(), QStringLiteral("ct"),
                       QStringLiteral("stored-token"), noPassword.callback());
    QTRY_COMPARE(noPassword.calls, 1);
    QCOMPARE(noPassword.result.error, Loc::text("auth.ely.error.noPassword"));
    QCOMPARE(m_server->requestCount("/auth/validate"), 2);
    QCOMPARE(m_server->requestCount("/auth/refresh"), 2);
    QCOMPARE(m_server->requestCount("/auth/authenticate"), 1);

    // A refresh that gets no answer at all also falls back to the password.
    HttpRequest::setTransferTimeoutForTesting(300);
    m_server->route("/auth/refresh", TestReply::ok().delayed(60000));
    SignIn broken;
    m_auth->loginElyBy(QStringLiteral("steve"), QStringLiteral("pw"), QStringLiteral("ct"),
                       QStringLiteral("stored-token"), broken.callback());
    QTRY_COMPARE(broken.calls, 1);
    QVERIFY(broken.result.ok);
    QCOMPARE(m_server->requestCount("/auth/authenticate"), 2);
}

void AuthServiceTest::networkErrorEndsValidation()
{
    QString deadOrigin;
    {
        TestServer gone;
        deadOrigin = gone.origin();
    }
    RemoteAddresses::setOriginForTesting(Service::AccountService, deadOrigin);

    SignIn validate;
    m_auth->loginElyBy(QStringLiteral("steve"), QStringLiteral("pw"), QStringLiteral("ct"),
                       QStringLiteral("stored-token"), validate.callback());
    QTRY_COMPARE(validate.calls, 1);
    QVERIFY(!validate.result.ok);
    const QString prefix = Loc::text("auth.ely.error.unreachable").arg(QString());
    QVERIFY2(validate.result.error.startsWith(prefix), qPrintable(validate.result.error));
    QVERIFY(validate.result.error.size() > prefix.size());
    QVERIFY(validate.result.accessToken.isEmpty() && validate.result.clientToken.isEmpty());
    QTest::qWait(50);
    QCOMPARE(validate.calls, 1); // nothing else was tried

    SignIn signIn;
    m_auth->authenticate(QStringLiteral("steve"), QStringLiteral("pw"), QStringLiteral("ct"),
                         signIn.callback());
    QTRY_COMPARE(signIn.calls, 1);
    QVERIFY(signIn.result.error.startsWith(prefix));
    QVERIFY(!signIn.result.twoFactorRequired);
    QCOMPARE(signIn.result.clientToken, QStringLiteral("ct"));
}

void AuthServiceTest::stalledServerTimesOut()
{
    HttpRequest::setTransferTimeoutForTesting(300);
    const QString timedOut =
        Loc::text("auth.ely.error.unreachable").arg(Loc::text("auth.error.timedOut"));

    // Accepts the request and never answers.
    m_server->route("/auth/authenticate", TestReply::ok().delayed(60000));
    SignIn silent;
    m_auth->authenticate(QStringLiteral("steve"), QStringLiteral("pw"), QStringLiteral("ct"),
                         silent.callback());
    QTRY_COMPARE_WITH_TIMEOUT(silent.calls, 1, 5000);
    QVERIFY(!silent.result.ok);
    QCOMPARE(silent.result.error, timedOut);

    // Sends a status line, then stops: still no answer, not a success.
    m_server->route("/auth/validate", TestReply::ok(QByteArray(100, ' ')).stalledAfter(1));
    SignIn halfway;
    m_auth->loginElyBy(QStringLiteral("steve"), QStringLiteral("pw"), QStringLiteral("ct"),
                       QStringLiteral("stored-token"), halfway.callback());
    QTRY_COMPARE_WITH_TIMEOUT(halfway.calls, 1, 5000);
    QVERIFY(!halfway.result.ok);
    QCOMPARE(halfway.result.error, timedOut);
    QCOMPARE(m_server->requestCount("/auth/refresh"), 0);

    // A refresh cut off after its status line is no refreshed session either:
    // the password is tried next.
    m_server->route("/auth/validate", TestReply::status(403));
    m_server->route("/auth/refresh", TestReply::ok(QByteArray(100, ' ')).stalledAfter(1));
    SignIn cutRefresh;
    m_auth->loginElyBy(QStringLiteral("steve"), QStringLiteral("pw"), QStringLiteral("ct"),
                       QStringLiteral("stored-token"), cutRefresh.callback());
    QTRY_COMPARE_WITH_TIMEOUT(cutRefresh.calls, 1, 5000);
    QVERIFY(!cutRefresh.result.ok);
    QCOMPARE(cutRefresh.result.error, timedOut);
    QCOMPARE(m_server->requestCount("/auth/authenticate"), 2);

    m_server->route("/artifact/latest.json", TestReply::ok().delayed(60000));
    Injector agent;
    m_auth->ensureAuthlibInjector(m_home->path() + QStringLiteral("/agent"), agent.callback());
    QTRY_COMPARE_WITH_TIMEOUT(agent.calls, 1, 5000);
    QCOMPARE(agent.error,
             Loc::text("auth.ely.error.injectorInfoFailed").arg(Loc::text("auth.error.timedOut")));
}

void AuthServiceTest::redirectsStayOnTheSameOrigin()
{
    TestServer elsewhere;
    elsewhere.route("/auth/authenticate", TestReply::json(kProfileReply));
    m_server->route("/auth/authenticate",
                    TestReply::redirect(elsewhere.origin() + "/auth/authenticate", 307));

    SignIn away;
    m_auth->authenticate(QStringLiteral("steve"), QStringLiteral("pw"), QStringLiteral("ct"),
                         away.callback());
    QTRY_COMPARE(away.calls, 1);
    QVERIFY(!away.result.ok);
    QCOMPARE(elsewhere.requestCount(), 0);

    m_server->route("/auth/authenticate", TestReply::redirect("/v2/auth/authenticate", 307));
    m_server->route("/v2/auth/authenticate", TestReply::json(kProfileReply));
    SignIn moved;
    m_auth->authenticate(QStringLiteral("steve"), QStringLiteral("pw"), QStringLiteral("ct"),
                         moved.callback());
    QTRY_COMPARE(moved.calls, 1);
    QVERIFY2(moved.result.ok, qPrintable(moved.result.error));
    QVERIFY(m_server->requests("/v2/auth/authenticate").value(0).body.contains("\"password\""));
}

namespace {
QStringList* capturedLog = nullptr;
void captureMessage(QtMsgType, const QMessageLogContext&, const QString& message)
{
    if (capturedLog)
        capturedLog->append(message);
}
} // namespace

void AuthServiceTest::noSecretsInLogsOrMessages()
{
    const QString password = QStringLiteral("hunter2-secret");
    const QString storedToken = QStringLiteral("stored-token-secret");
    m_server->route("/auth/validate", TestReply::status(401));
    m_server->route("/auth/refresh", TestReply::status(500));
    m_server->route("/auth/authenticate", TestReply::status(500));

    QStringList seen;
    capturedLog = &seen;
    qInstallMessageHandler(captureMessage);
    QSignalSpy progress(m_auth.get(), &AuthService::progress);

    SignIn failed;
    m_auth->loginElyBy(QStringLiteral("steve"), password, QStringLiteral("ct"), storedToken,
                       failed.callback());
    QTRY_COMPARE(failed.calls, 1);
    SignIn withCode;
    m_auth->loginElyByWithTotp(QStringLiteral("steve"), password, QStringLiteral("999"),
                               QStringLiteral("ct"), withCode.callback());
    QTRY_COMPARE(withCode.calls, 1);

    qInstallMessageHandler(nullptr);
    capturedLog = nullptr;

    seen << progressLines(progress) << failed.result.error << withCode.result.error;
    for (const QString& line : std::as_const(seen)) {
        QVERIFY2(!line.contains(password), qPrintable(line));
        QVERIFY2(!line.contains(storedToken), qPrintable(line));
    }
}

void AuthServiceTest::serviceDestroyedWithRequestInFlight()
{
    m_server->route("/auth/authenticate", TestReply::json(kProfileReply).delayed(200));
    SignIn signIn;
    m_auth->authenticate(QStringLiteral("steve"), QStringLiteral("pw"), QStringLiteral("ct"),
                         signIn.callback());
    QTRY_COMPARE(m_server->requestCount(), 1);
    m_auth.reset();
    QTest::qWait(400);
    QCOMPARE(signIn.calls, 0);
}

void AuthServiceTest::serveAgent(const QByteArray& jar, const QByteArray& metadata)
{
    m_server->route("/artifact/latest.json", TestReply::json(m_server->templated(metadata)));
    m_server->route("/artifact/53/authlib-injector-1.2.5.jar", TestReply::ok(jar));
}

void AuthServiceTest::agentDownloadedVerifiedAndReused()
{
    const QByteArray jar = QByteArray("PK\x03\x04 agent ").repeated(4000);
    serveAgent(jar, R"({"build_number":53,"version":"1.2.5",)"
                    R"("download_url":"{{BASE}}/artifact/53/authlib-injector-1.2.5.jar",)"
                    R"("checksums":{"sha256":")" +
                        sha256Hex(jar) + R"("}})");
    // The launch keeps the agent in the data directory's runtime folder, made on demand.
    const QString directory = LauncherPaths::runtimeDir();
    QVERIFY(!QFileInfo::exists(directory));
    QSignalSpy progress(m_auth.get(), &AuthService::progress);

    Injector first;
    m_auth->ensureAuthlibInjector(directory, first.callback());
    QCOMPARE(first.calls, 0);
    QTRY_COMPARE(first.calls, 1);
    QVERIFY2(first.error.isEmpty(), qPrintable(first.error));
    QCOMPARE(first.path, directory + QStringLiteral("/authlib-injector.jar"));
    QFile file(first.path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), jar);
    QCOMPARE(QDir(directory).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{QStringLiteral("authlib-injector.jar")});
    QCOMPARE(progressLines(progress), QStringList{QStringLiteral("Downloading authlib-injector…")});

    Injector again;
    m_auth->ensureAuthlibInjector(directory, again.callback());
    QCOMPARE(again.calls, 1);
    QCOMPARE(again.path, first.path);
    QCOMPARE(m_server->requestCount(), 2);
    QCOMPARE(progress.count(), 1);

    // Metadata without checksums is taken as it stands.
    serveAgent("unchecked",
               R"({"download_url":"{{BASE}}/artifact/53/authlib-injector-1.2.5.jar"})");
    Injector unchecked;
    m_auth->ensureAuthlibInjector(m_home->path() + QStringLiteral("/a/b/c"), unchecked.callback());
    QTRY_COMPARE(unchecked.calls, 1);
    QVERIFY2(unchecked.error.isEmpty(), qPrintable(unchecked.error));
    QFile uncheckedFile(unchecked.path);
    QVERIFY(uncheckedFile.open(QIODevice::ReadOnly));
    QCOMPARE(uncheckedFile.readAll(), QByteArray("unchecked"));
}

void AuthServiceTest::agentPresentAnsweredAtOnce()
{
    const QString directory = m_home->path() + QStringLiteral("/runtime");
    QVERIFY(QDir().mkpath(directory));
    QFile empty(directory + QStringLiteral("/authlib-injector.jar"));
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();
    QSignalSpy progress(m_auth.get(), &AuthService::progress);

    Injector present;
    m_auth->ensureAuthlibInjector(directory, present.callback());
    QCOMPARE(present.calls, 1);
    QCOMPARE(present.path, empty.fileName());
    QVERIFY(present.error.isEmpty());
    QTest::qWait(20);
    QCOMPARE(m_server->requestCount(), 0);
    QCOMPARE(progress.count(), 0);
}

void AuthServiceTest::agentChecksumMismatchLeavesNoFile()
{
    const QByteArray jar("the real agent");
    for (const QByteArray& digest : {sha256Hex("another file"), sha256Hex(jar).toUpper()}) {
        serveAgent(jar, R"({"download_url":"{{BASE}}/artifact/53/authlib-injector-1.2.5.jar",)"
                        R"("checksums":{"sha256":")" +
                            digest + R"("}})");
        const QString directory = m_home->path() + QStringLiteral("/runtime-") + digest.left(8);
        Injector agent;
        m_auth->ensureAuthlibInjector(directory, agent.callback());
        QTRY_COMPARE(agent.calls, 1);
        QVERIFY(agent.path.isEmpty());
        QCOMPARE(agent.error, QStringLiteral("The authlib-injector checksum does not match"));
        QCOMPARE(QDir(directory).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList());
    }
}

void AuthServiceTest::agentFailures_data()
{
    QTest::addColumn<QByteArray>("metadata");
    QTest::addColumn<TestReply>("jarReply");
    QTest::addColumn<QString>("errorStart");
    QTest::addColumn<int>("requests");

    const QByteArray good = R"({"download_url":"{{BASE}}/artifact/53/authlib-injector-1.2.5.jar"})";
    const QString infoFailed = Loc::text("auth.ely.error.injectorInfoFailed").arg(QString());
    const QString downloadFailed =
        Loc::text("auth.ely.error.injectorDownloadFailed").arg(QString());

    QTest::newRow("plain http link")
        << QByteArray(R"({"download_url":"http://127.0.0.1:1/authlib-injector.jar"})")
        << TestReply::ok("jar") << Loc::text("auth.ely.error.injectorInsecureUrl") << 1;
    QTest::newRow("no link") << QByteArray(R"({"checksums":{"sha256":"00"}})")
                             << TestReply::ok("jar")
                             << QStringLiteral("The authlib-injector manifest has no file link")
                             << 1;
    QTest::newRow("empty link") << QByteArray(R"({"download_url":""})") << TestReply::ok("jar")
                                << Loc::text("auth.ely.error.injectorNoUrl") << 1;
    QTest::newRow("metadata not json") << QByteArray("<html>") << TestReply::ok("jar")
                                       << Loc::text("auth.ely.error.injectorNoUrl") << 1;
    QTest::newRow("metadata 404") << QByteArray() << TestReply::ok("jar") << infoFailed << 1;
    QTest::newRow("jar 404") << good << TestReply::notFound() << downloadFailed << 2;
    QTest::newRow("jar cut off") << good << TestReply::ok(QByteArray(50000, 'j')).closedAfter(1000)
                                 << downloadFailed << 2;
}

void AuthServiceTest::agentFailures()
{
    QFETCH(QByteArray, metadata);
    QFETCH(TestReply, jarReply);
    QFETCH(QString, errorStart);
    QFETCH(int, requests);
    if (metadata.isEmpty())
        m_server->route("/artifact/latest.json", TestReply::notFound());
    else
        m_server->route("/artifact/latest.json", TestReply::json(m_server->templated(metadata)));
    m_server->route("/artifact/53/authlib-injector-1.2.5.jar", jarReply);

    const QString directory = m_home->path() + QStringLiteral("/runtime");
    Injector agent;
    m_auth->ensureAuthlibInjector(directory, agent.callback());
    QTRY_COMPARE(agent.calls, 1);
    QVERIFY(agent.path.isEmpty());
    QVERIFY2(agent.error.startsWith(errorStart), qPrintable(agent.error));
    if (errorStart.endsWith(QStringLiteral(": ")))
        QVERIFY2(agent.error.size() > errorStart.size(), "the reply's error text follows");
    QCOMPARE(m_server->requestCount(), requests);
    QCOMPARE(QDir(directory).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList());
}

void AuthServiceTest::agentUnwritableDirectory()
{
    serveAgent("jar", R"({"download_url":"{{BASE}}/artifact/53/authlib-injector-1.2.5.jar"})");
    // A file where the folder should be: nothing can be written below it.
    const QString notADirectory = m_home->path() + QStringLiteral("/runtime");
    QVERIFY(m_home->writeFile(QStringLiteral("runtime"), "occupied"));

    Injector agent;
    m_auth->ensureAuthlibInjector(notADirectory, agent.callback());
    QTRY_COMPARE(agent.calls, 1);
    QVERIFY(agent.path.isEmpty());
    QCOMPARE(agent.error,
             QStringLiteral("Could not save %1")
                 .arg(QDir::toNativeSeparators(notADirectory + "/authlib-injector.jar")));
}

QTEST_GUILESS_MAIN(AuthServiceTest)
#include "tst_authservice.moc"
