#pragma once

#include "gamelock.h"

#include <QObject>
#include <QString>
#include <QStringDecoder>
#include <QStringList>

class QProcess;
struct MinecraftVersion;

// Everything a game launch is run with: the game directory, the player's identity and
// tokens, Java and its memory, the window, the server to join and the sign-in agent.
// The file checks read only gameDir.
struct LaunchOptions {
    LaunchOptions();

    QString gameDir;
    QString versionId;
    QString playerName;
    QString uuid;
    QString accessToken; // never shown: the reported command line hides it
    QString userType;
    QString clientId;
    QString xuid;
    // A java executable or a Java home folder; empty selects one automatically.
    QString javaPath;
    int minMemoryMb = 512;    // 0 or less: no -Xms
    int maxMemoryMb = 4096;   // 0 or less: no -Xmx
    QStringList extraJvmArgs; // the player's own, passed unchanged
    int width = 0;            // 0 or less: unset
    int height = 0;
    bool fullscreen = false;
    // "host" or "host:port".
    QString server;
    // The authlib-injector agent jar; empty starts the game without it.
    QString injectorJar;
    // The account service the agent is pointed at.
    QString injectorServer;
    QString launcherName;
    QString launcherVersion;
};

// Runs the game for one resolved version: checks its files, unpacks its native
// libraries, picks a Java new enough, assembles the command line and starts the game in
// the game directory. At most one game process exists per launcher. Output lines, the
// start (with the command line, access token hidden) and the end come back as signals.
class GameLauncher : public QObject {
    Q_OBJECT

public:
    explicit GameLauncher(QObject* parent = nullptr);
    // Leaves a running game running.
    ~GameLauncher() override;

    // True once the game process has started; otherwise false with the translated
    // reason in error. Blocks while the process starts, 15 s at most.
    bool launch(const LaunchOptions& options, const MinecraftVersion& version,
                QString* error = nullptr);
    bool isRunning() const;
    // Kills a running game at once; its end is reported as a crash. The one way the
    // launcher ends a game.
    void terminate();

    // Why no game can start from this folder, whatever it holds; empty when nothing
    // keeps it. Java separates the entries of its class and library paths by ":" and
    // cannot take one inside an entry, so a folder whose path holds one never starts.
    static QString unusableGameDir(const QString& gameDir);
    // The files a launch needs and does not find, at most limit of them, in native
    // separators. A missing game directory is the only entry then.
    static QStringList missingFiles(const LaunchOptions& options, const MinecraftVersion& version,
                                    int limit);
    // Unpacks the shared libraries of the version's native jars flat into nativesDir.
    // A file already there with the entry's size is kept as it is.
    static bool extractNatives(const LaunchOptions& options, const MinecraftVersion& version,
                               const QString& nativesDir, QString* error = nullptr);
    // The Java process's arguments: everything after the program path.
    static QStringList buildArguments(const LaunchOptions& options, const MinecraftVersion& version,
                                      const QString& nativesDir);

signals:
    void progress(const QString& message);
    void output(const QString& line);
    void gameStarted(const QString& commandLine);
    void gameFinished(int exitCode, bool crashed);

private:
    bool takeGameLock(QString* error);
    bool start(const QString& program, const QStringList& arguments,
               const QStringList& shownArguments, const QString& workingDir, QString* error);
    void relayOutput(QProcess* source);
    QStringList takeCompleteLines();
    void emitLines(const QStringList& lines);
    void handleFinished(QProcess* source, int exitCode, bool crashed);
    static void letGo(QProcess* process);

    QProcess* m_process = nullptr;
    // Held while m_process runs; the game holds it too, and keeps it when the launcher goes.
    GameLock m_gameLock;
    // Decoded output of the current process not yet ended by a newline. The decoder
    // keeps a multi-byte character split between two reads until it is whole.
    QStringDecoder m_decoder;
    QString m_pendingOutput;
};
