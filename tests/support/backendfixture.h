#pragma once

#include "gamedirfixture.h"
#include "launcherbackend.h"
#include "temphome.h"
#include "testserver.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSignalSpy>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// What the backend's tests share: a started backend with the messages of its first
// turns, the fake game and sign-in agent a launch runs, stored records, the replies of
// the account service and of the Microsoft chain, and the spies of a launch.
namespace BackendFixture {

// Whether only the owner may read and write the file.
bool ownerOnly(const QString& path);
// A path that can never become a file, whoever runs the test: its parent is a file.
QString blockedPath(const TempHome& home, const QString& name);

// A backend together with the messages it sent in its first event-loop turns.
struct Started {
    Started();

    QStringList messages() const;

    std::unique_ptr<LauncherBackend> backend = std::make_unique<LauncherBackend>();
    QSignalSpy errors;
    QSignalSpy imported;
    bool constructedSilently = false;
};

// ---- Launches ----

constexpr int kGameWaitMs = 20000;
inline const QString kFakeVersion = QStringLiteral("fake-1.0");
inline const QString kSignedInUuid = QStringLiteral("0a1b2c3d4e5f67890a1b2c3d4e5f6789");

// A version description whose main class is the fake game; the libraries it
// names are never there.
QByteArray fakeVersionJson(const QString& id, int missingLibraries = 0);

// The fake game, which tells whom it was started as and waits when asked to (for a time,
// -Dfake.wait=ms, or until a file appears, -Dfake.quitWhen=path, saving to
// -Dfake.saveTo=path as it ends, with the exit code -Dfake.exitCode=n), adding a line to
// -Dfake.startsTo=path at each start, and the fake sign-in agent, which tells the service
// it was pointed at; compiled once.
class LaunchTools {
public:
    // False, with the compiler's words in error, when the jars could not be built.
    bool compile(QString* error);

    // Settings in English with the real java, these profiles and builds, and the fake
    // game installed as kFakeVersion in the default game directory.
    bool prepareHome(const TempHome& home, const QJsonArray& profiles, const QJsonArray& builds,
                     const QJsonObject& extraSettings = {}) const;
    // The same for the HOLLOWMERE_HOME of another process.
    bool prepareHome(const QString& homePath, const QJsonArray& profiles, const QJsonArray& builds,
                     const QJsonObject& extraSettings = {}) const;
    bool installFakeGame(const QString& gameDir, const QString& id) const;
    // The agent is already there, so the account service is the only peer.
    bool installAgent(const TempHome& home) const;

private:
    QTemporaryDir m_dir;
    QString m_gameJar;
    QString m_agentJar;
};

QString gameDirOf(const TempHome& home);
QString gameDirOf(const QString& homePath);
QJsonObject accountProfile(int id, const QString& name, const QString& login,
                           const QString& password);
QJsonObject fakeBuild(int id, const QString& name);

// The account service's answer to a sign-in of this player, and its request for a
// second factor.
TestReply signedIn(const QString& name);
TestReply codeRequired();
QJsonObject requestBody(const TestRequest& request);
// The account service asks for a second factor until the password carries the code.
void routeSecondFactor(TestServer& server, const QString& passwordWithCode);
// The account service signs every login in as a player of that name, 300 ms later.
void routeSlowSignIn(TestServer& server);

// Every signal of a launch, and the order of those the interface relies on.
struct LaunchSpies {
    explicit LaunchSpies(LauncherBackend& backend);

    QSignalSpy launched;
    QSignalSpy progress;
    QSignalSpy output;
    QSignalSpy finished;
    QSignalSpy twoFactor;
    QSignalSpy busy;
    QSignalSpy running;
    QStringList order;
};

// ---- Builds ----

// Fills the default game directory with one build's files; returns their fingerprint.
GameDirFixture::Fingerprint writeLiveBuild(const TempHome& home);
void addTwoBuilds(LauncherBackend& backend);

// ---- Installers ----

// The Java runtime catalog a cache fetched just now holds: one JDK 21 at url.
bool writeFreshJavaCatalog(const TempHome& home, const QString& url);

inline const QString kFabricGame = QStringLiteral("1.20.1");
inline const QString kFabricLoaderId = QStringLiteral("fabric-loader-0.16.10-1.20.1");
// The Fabric metadata service and maven with one loader version, 0.16.10, for 1.20.1.
void serveFabric(TestServer& server);

// ---- Microsoft ----

inline const QString kMicrosoftUuid = QStringLiteral("9f8e7d6c5b4a39281706f5e4d3c2b1a0");

// Every step of the Microsoft chain answering for the player Steve; the game
// profile answers after profileDelayMs.
void routeMicrosoftChain(TestServer& server, int profileDelayMs = 0);
// A Microsoft profile holding a session that runs out at tokenExpiry.
QJsonObject microsoftProfile(int id, const QString& name, const QString& tokenExpiry);
QString expiryIn(qint64 seconds);

} // namespace BackendFixture
