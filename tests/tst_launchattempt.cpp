#include "authservice.h"
#include "backendfixture.h"
#include "httprequest.h"
#include "launchattempt.h"
#include "launcherbackend.h"
#include "localization.h"
#include "remoteaddresses.h"
#include "temphome.h"
#include "testhelpers.h"
#include "testserver.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

using namespace BackendFixture;

Q_DECLARE_METATYPE(TestReply)

namespace {
using TestHelpers::firstArguments;
using TestHelpers::readJson;

QByteArray readBytes(const QString& path)
{
    return TestHelpers::readFile(path);
}
} // namespace

// A launch runs as one attempt inside the backend; these tests drive it through the
// backend's play action, as the interface does.
class TestLaunchAttempt : public QObject {
    Q_OBJECT

private:
    static const QList<LauncherBackend::Profile>& profiles(const LauncherBackend& backend)
    {
        return backend.m_profiles;
    }

    using Profile = LauncherBackend::Profile;

    LaunchTools m_tools;

private slots:
    void initTestCase()
    {
        QVERIFY(TestHelpers::loadEnglishCatalog());
        QString error;
        QVERIFY2(m_tools.compile(&error), qPrintable(error));
    }

    void cleanup()
    {
        RemoteAddresses::resetForTesting();
        HttpRequest::setTransferTimeoutForTesting(0);
    }

    void offlineLaunchRunsTheGame()
    {
        TempHome home;
        QVERIFY(m_tools.prepareHome(home,
                                    {QJsonObject{{"id", 1},
                                                 {"name", "Main"},
                                                 {"login", "Notch"},
                                                 {"authType", "offline"},
                                                 {"clientToken", "client-1"}}},
                                    {QJsonObject{{"id", 4},
                                                 {"name", "Vanilla"},
                                                 {"minecraftVersion", kFakeVersion},
                                                 {"serverUrl", " play.example.org:25600 "}}},
                                    {{"jvmArgs", "  -Dfake.mark=one    -Dfake.other=two "}}));
        const QString profilesFile = home.dataDir() + "/profiles.json";
        const QByteArray storedProfiles = readBytes(profilesFile);
        Started started;
        LauncherBackend& backend = *started.backend;
        LaunchSpies spies(backend);

        backend.launchGame(0, 0);
        // The offline identity is at hand: the game has started on return.
        QCOMPARE(started.messages(), QStringList());
        QCOMPARE(spies.launched.size(), 1);
        QCOMPARE(spies.launched.constFirst(),
                 (QVariantList{"Main", "Vanilla", " play.example.org:25600 "}));
        QVERIFY(!backend.busy());
        QCOMPARE(spies.order,
                 (QStringList{"busy", "output", "running", "busy", "running", "launched"}));
        QVERIFY(firstArguments(spies.progress)
                    .contains(QStringLiteral("Reading the description of version \"fake-1.0\"…")));
        const QString commandLine = firstArguments(spies.output).constFirst();
        QVERIFY2(commandLine.contains("FakeGame") && commandLine.contains("play.example.org"),
                 qPrintable(commandLine));
        QVERIFY(!commandLine.contains(" play.example.org:25600 "));

        QTRY_COMPARE_WITH_TIMEOUT(spies.finished.size(), 1, kGameWaitMs);
        QCOMPARE(spies.finished.constFirst(), (QVariantList{0, false}));
        QVERIFY(!backend.gameRunning());
        QCOMPARE(spies.running.size(), 3);
        const QStringList output = firstArguments(spies.output);
        QVERIFY2(output.contains("player=Notch"), qPrintable(output.join('\n')));
        QVERIFY(output.contains("uuid=" + AuthService::offline("Notch").uuid));
        QVERIFY(output.contains("marks=one,two"));
        // An offline sign-in stores nothing.
        QCOMPARE(readBytes(profilesFile), storedProfiles);
        QCOMPARE(started.messages(), QStringList());
    }

    // Memory limits beyond 32 bits are unreadable: their defaults reach the game.
    void memoryBeyondItsRangeLaunchesWithTheDefaults()
    {
        TempHome home;
        QVERIFY(m_tools.prepareHome(
            home, {QJsonObject{{"id", 1}, {"name", "Main"}, {"login", "Notch"}}},
            {QJsonObject{{"id", 4}, {"name", "Vanilla"}, {"minecraftVersion", kFakeVersion}}},
            {{"maxMemoryMb", qint64(99999999999)}, {"minMemoryMb", qint64(1099511627776)}}));
        Started started;
        LauncherBackend& backend = *started.backend;
        LaunchSpies spies(backend);

        backend.launchGame(0, 0);
        QCOMPARE(started.messages(), QStringList());
        const QStringList commandLine =
            firstArguments(spies.output).constFirst().split(QLatin1Char(' '));
        QVERIFY2(commandLine.contains("-Xmx4096M") && commandLine.contains("-Xms512M"),
                 qPrintable(commandLine.join(' ')));
        QTRY_COMPARE_WITH_TIMEOUT(spies.finished.size(), 1, kGameWaitMs);
        QCOMPARE(readJson(home.dataDir() + "/settings.json")["maxMemoryMb"].toInteger(),
                 99999999999);
    }

    // Every game folder the settings may name either starts the game or is refused, before
    // anything starts, with the reason: a relative one is the folder the launcher's working
    // directory holds, and the game is handed it whole; Java cannot take a path holding
    // its path-list separator.
    void gameFolderStartsOrIsRefused_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QString>("folder"); // below the test's home, the working directory
        QTest::addColumn<bool>("starts");
        QTest::newRow("relative") << "mc-games"
                                  << "mc-games" << true;
        QTest::newRow("colon") << "{home}/Games: Minecraft"
                               << "Games: Minecraft" << false;
        QTest::newRow("colon, relative") << "Games:Minecraft"
                                         << "Games:Minecraft" << false;
        QTest::newRow("colon in a parent") << "{home}/a:b/games"
                                           << "a:b/games" << false;
    }

    void gameFolderStartsOrIsRefused()
    {
        QFETCH(QString, setting);
        QFETCH(QString, folder);
        QFETCH(bool, starts);
        TempHome home;
        const QString gameDir = home.path() + '/' + folder;
        QVERIFY(m_tools.prepareHome(
            home, {QJsonObject{{"id", 1}, {"name", "Main"}, {"login", "Notch"}}},
            {QJsonObject{{"id", 4}, {"name", "Vanilla"}, {"minecraftVersion", kFakeVersion}}},
            {{"gameDir", QString(setting).replace("{home}", home.path())}}));
        QVERIFY(m_tools.installFakeGame(gameDir, kFakeVersion));
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(home.path()));
        const auto restore = qScopeGuard([&previous] { QDir::setCurrent(previous); });
        Started started;
        LauncherBackend& backend = *started.backend;
        LaunchSpies spies(backend);

        backend.launchGame(0, 0);
        if (!starts) {
            const QString reason = Loc::text("launch.error.gameDirHasColon")
                                       .arg(QDir::toNativeSeparators(gameDir), ":");
            QCOMPARE(started.messages(), QStringList{reason});
            QCOMPARE(spies.progress.size(), 0);
            QCOMPARE(spies.output.size(), 0);
            QVERIFY(!backend.busy() && !backend.gameRunning());
            return;
        }
        QCOMPARE(started.messages(), QStringList());
        QCOMPARE(spies.launched.size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(spies.finished.size(), 1, kGameWaitMs);
        const QStringList output = firstArguments(spies.output);
        QVERIFY2(output.contains("player=Notch"), qPrintable(output.join('\n')));
        QCOMPARE(spies.finished.constFirst(), (QVariantList{0, false}));
        const QString clientJar =
            gameDir + "/versions/" + kFakeVersion + '/' + kFakeVersion + ".jar";
        QVERIFY2(output.constFirst().contains(" " + QDir::toNativeSeparators(clientJar)),
                 qPrintable(output.constFirst()));
    }

    void accountServiceAsksForASecondFactor()
    {
        TestServer server;
        RemoteAddresses::setAllOriginsForTesting(server.origin());
        routeSecondFactor(server, "hunter2:123456");
        TempHome home;
        QVERIFY(m_tools.prepareHome(home,
                                    {accountProfile(3, "Ely", "steve@example.org", "hunter2")},
                                    {fakeBuild(1, "Build")}));
        QVERIFY(m_tools.installAgent(home));
        Started started;
        LauncherBackend& backend = *started.backend;
        LaunchSpies spies(backend);

        backend.launchGame(0, 0);
        QVERIFY(backend.busy());
        backend.launchGame(0, 0);
        QCOMPARE(started.messages(), QStringList{"A launch is already in progress"});
        QVERIFY(spies.twoFactor.wait(10000));
        QCOMPARE(spies.twoFactor.constFirst().constFirst().toString(), QStringLiteral("Ely"));
        // Waiting for the code blocks nothing.
        QVERIFY(!backend.busy());

        started.errors.clear();
        backend.submitTwoFactorCode("   ");
        QCOMPARE(started.messages(), QStringList{"Enter the two-factor authentication code"});
        started.errors.clear();
        backend.submitTwoFactorCode(" 123456 ");
        QVERIFY(backend.busy());
        QTRY_COMPARE_WITH_TIMEOUT(spies.launched.size(), 1, kGameWaitMs);
        QCOMPARE(started.messages(), QStringList());
        QCOMPARE(spies.launched.constFirst(), (QVariantList{"Ely", "Build", ""}));
        QVERIFY(!backend.busy());

        const QList<TestRequest> requests = server.requests("/auth/authenticate");
        QCOMPARE(requests.size(), 2);
        QCOMPARE(requests.at(1).body,
                 QByteArray(R"({"clientToken":"client-3","password":"hunter2:123456",)"
                            R"("requestUser":true,"username":"steve@example.org"})"));
        const QJsonObject stored =
            readJson(home.dataDir() + "/profiles.json").array().at(0).toObject();
        QCOMPARE(stored.value("accessToken").toString(), QStringLiteral("token-Steve"));
        QCOMPARE(stored.value("clientToken").toString(), QStringLiteral("client-3"));
        QCOMPARE(stored.value("uuid").toString(), kSignedInUuid);
        QCOMPARE(stored.value("resolvedName").toString(), QStringLiteral("Steve"));
        QCOMPARE(stored.value("userType").toString(), QStringLiteral("ELYBY"));
        QCOMPARE(stored.value("name").toString(), QStringLiteral("Ely"));

        QTRY_COMPARE_WITH_TIMEOUT(spies.finished.size(), 1, kGameWaitMs);
        QCOMPARE(spies.finished.constFirst(), (QVariantList{0, false}));
        const QStringList output = firstArguments(spies.output);
        QVERIFY2(output.contains("agent=" + server.origin()), qPrintable(output.join('\n')));
        QVERIFY(output.contains("player=Steve"));
        QVERIFY(output.contains("uuid=" + kSignedInUuid));
        // Neither the token nor the password reaches what the player is shown.
        for (const QString& line : output + firstArguments(spies.progress)) {
            QVERIFY2(!line.contains("token-Steve"), qPrintable(line));
            QVERIFY2(!line.contains("hunter2"), qPrintable(line));
        }
    }

    // The late answer of a cancelled launch must not be taken for the answer of
    // the launch that replaced it.
    void lateSignInOfACancelledLaunchIsDropped()
    {
        TestServer server;
        RemoteAddresses::setAllOriginsForTesting(server.origin());
        server.route("/auth/authenticate", [](const TestRequest& request) {
            const QJsonObject body = requestBody(request);
            if (body.value("username") == "late")
                return signedIn("Late").delayed(400);
            if (body.value("password") == "pw-b")
                return codeRequired();
            return TestReply::json(R"({"errorMessage":"Invalid credentials."})", 401);
        });
        TempHome home;
        QVERIFY(m_tools.prepareHome(home,
                                    {accountProfile(1, "First", "late", "pw-a"),
                                     accountProfile(2, "Second", "second", "pw-b")},
                                    {fakeBuild(1, "Build")}));
        QVERIFY(m_tools.installAgent(home));
        const QString profilesFile = home.dataDir() + "/profiles.json";
        Started started;
        const QByteArray storedProfiles = readBytes(profilesFile);
        LauncherBackend& backend = *started.backend;
        LaunchSpies spies(backend);

        backend.launchGame(0, 0);
        QTRY_COMPARE(server.requestCount("/auth/authenticate"), 1);
        backend.cancelPendingLaunch();
        QVERIFY(!backend.busy());
        backend.submitTwoFactorCode("123456");
        QCOMPARE(started.messages(), QStringList{"The launch has already been cancelled"});
        started.errors.clear();

        backend.launchGame(1, 0);
        QVERIFY(spies.twoFactor.wait(10000));
        QCOMPARE(spies.twoFactor.constFirst().constFirst().toString(), QStringLiteral("Second"));
        // The first launch's answer arrives while the second waits for its code.
        QTRY_COMPARE_WITH_TIMEOUT(server.inFlight(), 0, 5000);
        QTest::qWait(150);
        QCOMPARE(spies.launched.size(), 0);
        QCOMPARE(started.messages(), QStringList());
        QCOMPARE(readBytes(profilesFile), storedProfiles);
        QVERIFY(!backend.busy());
        QVERIFY(!backend.gameRunning());

        // The second launch is still the one waiting: the code goes with its account.
        backend.submitTwoFactorCode("42");
        QTRY_COMPARE(started.errors.size(), 1);
        QCOMPARE(started.messages(), QStringList{"Invalid credentials."});
        const QJsonObject last = requestBody(server.requests("/auth/authenticate").constLast());
        QCOMPARE(last.value("username").toString(), QStringLiteral("second"));
        QCOMPARE(last.value("password").toString(), QStringLiteral("pw-b:42"));
        QVERIFY(!backend.busy());
        backend.submitTwoFactorCode("43");
        QCOMPARE(started.messages().constLast(),
                 QStringLiteral("The launch has already been cancelled"));
    }

    // The launch follows its profile and build by id while the lists change.
    void listsChangingDuringSignIn()
    {
        TestServer server;
        RemoteAddresses::setAllOriginsForTesting(server.origin());
        routeSlowSignIn(server);
        TempHome home;
        QVERIFY(m_tools.prepareHome(home,
                                    {QJsonObject{{"id", 1}, {"name", "First"}},
                                     accountProfile(2, "Mover", "mover", "pw"),
                                     accountProfile(3, "Other", "other", "pw")},
                                    {fakeBuild(1, "Build"), fakeBuild(2, "Doomed")}));
        QVERIFY(m_tools.installAgent(home));
        Started started;
        LauncherBackend& backend = *started.backend;
        LaunchSpies spies(backend);
        const QString profilesFile = home.dataDir() + "/profiles.json";

        backend.launchGame(1, 0);
        QTRY_COMPARE(server.requestCount("/auth/authenticate"), 1);
        backend.m_profiles.removeFirst();
        QTRY_COMPARE_WITH_TIMEOUT(spies.launched.size(), 1, kGameWaitMs);
        QCOMPARE(spies.launched.constFirst().constFirst().toString(), QStringLiteral("Mover"));
        QJsonArray stored = readJson(profilesFile).array();
        QCOMPARE(stored.size(), 2);
        QCOMPARE(stored.at(0).toObject().value("accessToken").toString(),
                 QStringLiteral("token-mover"));
        QCOMPARE(stored.at(1).toObject().value("accessToken").toString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(spies.finished.size(), 1, kGameWaitMs);
        QVERIFY(firstArguments(spies.output).contains("player=mover"));

        // A build removed while signing in ends the launch; nothing is stored.
        backend.launchGame(1, 1);
        QTRY_COMPARE(server.requestCount("/auth/authenticate"), 2);
        backend.m_customBuilds.removeLast();
        QTRY_COMPARE(started.errors.size(), 1);
        QCOMPARE(started.messages(), QStringList{"The build was removed while signing in"});
        QVERIFY(!backend.busy());
        QCOMPARE(spies.launched.size(), 1);
        stored = readJson(profilesFile).array();
        QCOMPARE(stored.at(1).toObject().value("accessToken").toString(), QString());
    }

    // An account edited while it signs in drops its session: the answer for the
    // old login must not be stored in it, nor launch it.
    void accountEditedDuringSignIn()
    {
        TestServer server;
        RemoteAddresses::setAllOriginsForTesting(server.origin());
        routeSlowSignIn(server);
        TempHome home;
        QVERIFY(m_tools.prepareHome(home, {accountProfile(1, "Ely", "old", "pw")},
                                    {fakeBuild(1, "Build")}));
        QVERIFY(m_tools.installAgent(home));
        Started started;
        LauncherBackend& backend = *started.backend;
        LaunchSpies spies(backend);
        const QString profilesFile = home.dataDir() + "/profiles.json";

        // A new name alone keeps the sign-in going.
        backend.launchGame(0, 0);
        QTRY_COMPARE(server.requestCount("/auth/authenticate"), 1);
        backend.updateProfile(0, "Ely renamed", "old", "pw", "elyby");
        QTRY_COMPARE_WITH_TIMEOUT(spies.launched.size(), 1, kGameWaitMs);
        QCOMPARE(started.messages(), QStringList());
        QTRY_COMPARE_WITH_TIMEOUT(spies.finished.size(), 1, kGameWaitMs);
        QCOMPARE(readJson(profilesFile).array().at(0).toObject().value("accessToken").toString(),
                 QStringLiteral("token-old"));

        struct Edit {
            QString login;
            QString authType;
            QString storedLogin;
        };
        // A Microsoft account keeps no login of its own.
        for (const Edit& edit : {Edit{"new", "elyby", "new"}, Edit{"old", "microsoft", ""}}) {
            backend.updateProfile(0, "Ely renamed", "old", "pw", "elyby");
            backend.m_profiles[0].accessToken.clear();
            started.errors.clear();
            const qsizetype asked = server.requestCount("/auth/authenticate");
            backend.launchGame(0, 0);
            QTRY_COMPARE(server.requestCount("/auth/authenticate"), asked + 1);
            backend.updateProfile(0, "Ely renamed", edit.login, "pw", edit.authType);
            QTRY_COMPARE_WITH_TIMEOUT(server.inFlight(), 0, 5000);
            QTest::qWait(100);
            QCOMPARE(spies.launched.size(), 1);
            QCOMPARE(started.messages(), QStringList{"The launch was cancelled"});
            QVERIFY(!backend.busy());
            const QJsonObject stored = readJson(profilesFile).array().at(0).toObject();
            QCOMPARE(stored.value("login").toString(), edit.storedLogin);
            QCOMPARE(stored.value("accessToken").toString(), QString());
            QCOMPARE(stored.value("resolvedName").toString(), QString());
        }
    }

    void microsoftLaunchUsesTheStoredSessionOrRefreshes_data()
    {
        QTest::addColumn<QString>("tokenExpiry");
        QTest::addColumn<bool>("refreshed");
        QTest::newRow("valid for three minutes") << expiryIn(180) << false;
        QTest::newRow("valid for one minute") << expiryIn(60) << true;
        QTest::newRow("valid for exactly two minutes") << expiryIn(120) << true;
        QTest::newRow("no expiry") << QString() << true;
        QTest::newRow("not a date") << QStringLiteral("tomorrow") << true;
    }

    void microsoftLaunchUsesTheStoredSessionOrRefreshes()
    {
        QFETCH(QString, tokenExpiry);
        QFETCH(bool, refreshed);
        TestServer server;
        RemoteAddresses::setAllOriginsForTesting(server.origin());
        routeMicrosoftChain(server);
        // This refresh hands out no new refresh token: the stored one stays.
        server.route("/oauth20_token.srf", TestReply::json(R"({"access_token":"ms-access"})"));
        TempHome home;
        QVERIFY(m_tools.prepareHome(
            home,
            {QJsonObject{{"id", 1}, {"name", "Nick"}}, microsoftProfile(2, "MS", tokenExpiry)},
            {fakeBuild(1, "Build")}));
        Started started;
        LauncherBackend& backend = *started.backend;
        LaunchSpies spies(backend);
        QSignalSpy relogin(&backend, &LauncherBackend::microsoftReloginRequired);

        backend.launchGame(1, 0);
        QTRY_COMPARE_WITH_TIMEOUT(spies.finished.size(), 1, kGameWaitMs);
        QCOMPARE(started.messages(), QStringList());
        QCOMPARE(spies.launched.size(), 1);
        QCOMPARE(relogin.size(), 0);
        QCOMPARE(server.requestCount(), refreshed ? 5 : 0);
        const QStringList output = firstArguments(spies.output);
        const Profile& profile = profiles(backend).at(1);
        if (refreshed) {
            QVERIFY2(output.contains("player=Steve"), qPrintable(output.join('\n')));
            QVERIFY(output.contains("uuid=" + kMicrosoftUuid));
            QCOMPARE(profile.accessToken, QStringLiteral("mc-access"));
            QCOMPARE(profile.resolvedName, QStringLiteral("Steve"));
            QCOMPARE(QDateTime::currentDateTimeUtc().secsTo(
                         QDateTime::fromString(profile.tokenExpiry, Qt::ISODate)) /
                         60,
                     59);
            const auto form = server.requests("/oauth20_token.srf").constFirst().body.split('&');
            QVERIFY(form.contains("refresh_token=stored-refresh"));
        } else {
            QVERIFY2(output.contains("player=Stored"), qPrintable(output.join('\n')));
            QVERIFY(output.contains("uuid=00112233445566778899aabbccddeeff"));
            QCOMPARE(profile.accessToken, QStringLiteral("stored-access"));
            QCOMPARE(profile.tokenExpiry, tokenExpiry);
        }
        QCOMPARE(profile.refreshToken, QStringLiteral("stored-refresh"));
        QCOMPARE(profile.userType, QStringLiteral("msa"));
        const QJsonObject stored =
            readJson(home.dataDir() + "/profiles.json").array().at(1).toObject();
        QCOMPARE(stored.value("userType").toString(), QStringLiteral("msa"));
        QCOMPARE(stored.value("accessToken").toString(), profile.accessToken);
        QVERIFY(!backend.busy());
    }

    // Only a refused session asks for a new sign-in. A service that cannot answer now
    // keeps the stored session, and so does an account without a game profile.
    void microsoftSignInFailures_data()
    {
        QTest::addColumn<QString>("refreshToken");
        QTest::addColumn<QString>("path");
        QTest::addColumn<TestReply>("reply");
        // The token service's port, where nobody answers.
        QTest::addColumn<bool>("tokenServiceClosed");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("relogin");
        QTest::addColumn<int>("requests");

        const QString token = QStringLiteral("/oauth20_token.srf");
        const QString xbox = QStringLiteral("/user/authenticate");
        const QString services = QStringLiteral("/authentication/login_with_xbox");
        const auto expired = [](const QString& reason) {
            return "The Microsoft session has expired — sign in to the account again (" + reason +
                   ")";
        };
        const auto tryLater = [](const QString& reason) {
            return "The Microsoft services cannot be reached right now — try again later (" +
                   reason + ")";
        };
        QTest::newRow("refresh rejected")
            << "stored-refresh" << token << TestReply::json(R"({"error":"invalid_grant"})", 400)
            << false << expired("invalid_grant") << true << 1;
        QTest::newRow("xbox refuses")
            << "stored-refresh" << xbox << TestReply::status(401) << false
            << expired("Xbox Live rejected the Microsoft token (code 401)") << true << 2;
        QTest::newRow("game services refuse")
            << "stored-refresh" << services << TestReply::status(403) << false
            << expired("Minecraft Services rejected the sign-in (code 403)") << true << 4;
        QTest::newRow("not linked")
            << "" << QString() << TestReply() << false
            << "Profile \"MS\" is not linked to a Microsoft account — sign in to it" << true << 0;
        QTest::newRow("no game profile")
            << "stored-refresh"
            << "/minecraft/profile" << TestReply::json(R"({"error":"NOT_FOUND"})", 404) << false
            << Loc::text("auth.msa.error.noProfileYet") << false << 5;

        QTest::newRow("token service 502")
            << "stored-refresh" << token << TestReply::status(502) << false
            << tryLater("Microsoft returned code 502") << false << 1;
        QTest::newRow("token service silent")
            << "stored-refresh" << token
            << TestReply::json(R"({"access_token":"ms-access"})").delayed(5000) << false
            << tryLater("Cannot reach the Microsoft server: the server did not answer in time")
            << false << 1;
        QTest::newRow("token service cut off")
            << "stored-refresh" << token
            << TestReply::json(R"({"access_token":"ms-access","refresh_token":"new"})")
                   .closedAfter(8)
            << false << tryLater("Cannot reach the Microsoft server: Connection closed") << false
            << 1;
        QTest::newRow("token service port closed")
            << "stored-refresh" << QString() << TestReply() << true
            << tryLater("Cannot reach the Microsoft server: Connection refused") << false << 0;
        QTest::newRow("xbox 503") << "stored-refresh" << xbox << TestReply::status(503) << false
                                  << tryLater("Xbox Live is unavailable (code 503)") << false << 2;
        QTest::newRow("game services 502")
            << "stored-refresh" << services << TestReply::status(502) << false
            << tryLater("Minecraft Services is unavailable (code 502)") << false << 4;
        QTest::newRow("game services 429")
            << "stored-refresh" << services
            << TestReply::json(R"({"error":"TOO_MANY_REQUESTS"})", 429) << false
            << tryLater("Minecraft Services is unavailable (code 429)") << false << 4;
    }

    void microsoftSignInFailures()
    {
        QFETCH(QString, refreshToken);
        QFETCH(QString, path);
        QFETCH(TestReply, reply);
        QFETCH(bool, tokenServiceClosed);
        QFETCH(QString, message);
        QFETCH(bool, relogin);
        QFETCH(int, requests);
        TestServer server;
        RemoteAddresses::setAllOriginsForTesting(server.origin());
        routeMicrosoftChain(server);
        if (!path.isEmpty())
            server.route(path, reply);
        if (tokenServiceClosed)
            RemoteAddresses::setOriginForTesting(RemoteAddresses::Service::MicrosoftLogin,
                                                 TestServer::closedOrigin());
        HttpRequest::setTransferTimeoutForTesting(300);
        QJsonObject linked = microsoftProfile(2, "MS", expiryIn(30));
        linked.insert("refreshToken", refreshToken);
        TempHome home;
        QVERIFY(m_tools.prepareHome(home, {QJsonObject{{"id", 1}, {"name", "Nick"}}, linked},
                                    {fakeBuild(1, "Build")}));
        const QString profilesFile = home.dataDir() + "/profiles.json";
        Started started;
        const QByteArray storedProfiles = readBytes(profilesFile);
        LauncherBackend& backend = *started.backend;
        LaunchSpies spies(backend);
        QStringList order;
        connect(&backend, &LauncherBackend::launchError, this, [&] { order.append("error"); });
        connect(&backend, &LauncherBackend::microsoftReloginRequired, this,
                [&](int index) { order.append(QStringLiteral("relogin %1").arg(index)); });

        backend.launchGame(1, 0);
        QTRY_COMPARE_WITH_TIMEOUT(started.errors.size(), 1, 10000);
        QCOMPARE(started.messages(), QStringList{message});
        QCOMPARE(order, (relogin ? QStringList{"error", "relogin 1"} : QStringList{"error"}));
        QVERIFY(!backend.busy());
        QCOMPARE(spies.launched.size(), 0);
        QVERIFY(!backend.gameRunning());
        QCOMPARE(server.requestCount(), requests);
        // The stored session, refresh token and all, is kept as it was.
        QCOMPARE(readBytes(profilesFile), storedProfiles);
        QVERIFY(!backend.m_launch);
    }
};

QTEST_GUILESS_MAIN(TestLaunchAttempt)
#include "tst_launchattempt.moc"
