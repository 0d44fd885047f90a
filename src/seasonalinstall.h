#pragma once

#include "launcherbackend.h"
#include "modloaderversionservice.h"
#include "seasonalbuildservice.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class BuildSwitcher;
class JavaInstaller;
class JavaRuntimeService;
class ModLoaderInstaller;
class SeasonalPackDownloader;
class VersionInstaller;

// One seasonal pack on its way to a playable build: the game directory switched to the
// build that carries it, the Java runtime it needs, its game version or mod loader, the
// pack downloaded under its checksum and applied over the files of the pack before it.
// The stages run one service at a time, in order, each skipped when it has nothing to do;
// each starts from the completion signal of the one before and reacts only to the work it
// started. A failure or cancel at any stage ends the install once, with one message.
//
// The backend owns the pipeline and the builds; its own handlers of the services' signals
// are connected first, so a service's report always comes before the pipeline's end.
class SeasonalInstall : public QObject {
    Q_OBJECT

public:
    using CustomBuild = LauncherBackend::CustomBuild;

    enum class Stage { Idle = 0, Switch = 1, Java = 2, GameFiles = 3, Download = 4, Apply = 5 };

    struct Services {
        BuildSwitcher* switcher = nullptr;
        JavaRuntimeService* javaRuntimes = nullptr;
        JavaInstaller* javaInstaller = nullptr;
        VersionInstaller* versionInstaller = nullptr;
        ModLoaderInstaller* loaderInstaller = nullptr;
        SeasonalPackDownloader* packDownloader = nullptr;
    };

    // What the pipeline asks of the backend, for the build at a position in its list.
    struct Host {
        std::function<QString()> gameDir;
        // The game directory holds this build, whole.
        std::function<bool(int index)> holdsBuild;
        std::function<void(int index)> switchTo;
        // What keeps the build from launching; empty when it can.
        std::function<QStringList(int index)> missingFiles;
        // Installs the loader onto the build's game version for the build.
        std::function<void(int index, ModLoader loader)> installLoader;
    };

    // The pack a pack application names, recorded for its build with the files it wrote.
    struct PackRecord {
        QString seasonalId;
        int revision = 0;
        QString sha256;
    };

    // builds is the backend's list, read again at every step: the build is followed by
    // its id.
    SeasonalInstall(const QList<CustomBuild>& builds, const Services& services, Host host,
                    QObject* parent = nullptr);

    bool isRunning() const { return m_running; }
    Stage stage() const { return m_stage; }

    // Installs the entry into the build with that id, which carries it already.
    void start(const SeasonalBuildEntry& entry, int buildId);
    // Stops the stage running where that is possible; moving files cannot be stopped.
    void cancel();

    // The note a pack application carries, naming the entry's pack.
    static QJsonObject packNote(const SeasonalBuildEntry& entry);
    // The pack a note names; nothing for a note that names none.
    static std::optional<PackRecord> packRecordOf(const QJsonObject& note);
    // The files the build's last pack application wrote; empty when none is known.
    QStringList packEntries(int buildId) const;
    // Records the files a pack application wrote for the build. The earlier record stays
    // until the new one is written whole. When it cannot be: false, with the message in
    // error; the files stay known for the build's next pack application to remove, and an
    // install waiting for that application fails.
    bool recordPack(int buildId, const PackRecord& record, const QStringList& entries,
                    QString* error = nullptr);

signals:
    void runningChanged();
    void progress(const QString& message);
    void error(const QString& message);
    // The build is ready; after progress tells so.
    void finished(const QString& seasonalId, const QString& buildName);

private:
    struct Step {
        Stage stage;
        bool (SeasonalInstall::*needed)(int index) const;
        void (SeasonalInstall::*begin)(int index);
    };
    static const Step kSteps[];

    int buildIndex() const;
    QString buildName() const;
    void advance();
    void finish();
    void fail(const QString& reason = QString());
    void end();

    bool needsSwitch(int index) const;
    void beginSwitch(int index);
    int javaMajor() const;
    bool needsJava(int index) const;
    void beginJava(int index);
    void installJava(bool catalogLoaded, const QString& message);
    bool needsGameFiles(int index) const;
    void beginGameFiles(int index);
    void beginDownload(int index);
    void beginApply(int index);
    bool always(int) const { return true; }

    void connectServices();
    void onSwitchEnded(int buildId, bool ok, bool gameDirIntact = true);
    static QStringList packFileNames(const QString& archivePath);
    bool recordBeforeApplying(const QStringList& removals, QString* error);
    void restoreRecordBeforeApplying();
    static QJsonObject readRecord(int buildId);
    static bool writeRecord(int buildId, const QJsonObject& document, QString* error = nullptr);
    void onVersionEnded(const QString& versionId, bool ok);
    void onLoaderEnded(bool ok);
    bool awaits(Stage stage) const { return m_running && m_stage == stage; }
    bool awaitsVersion() const { return awaits(Stage::GameFiles) && !m_versionId.isEmpty(); }
    bool awaitsLoader() const { return awaits(Stage::GameFiles) && m_versionId.isEmpty(); }

    const QList<CustomBuild>& m_builds;
    Services m_services;
    Host m_host;

    // Each install has a number, so a late answer of an earlier one finds nothing to do.
    quint64 m_run = 0;
    bool m_running = false;
    Stage m_stage = Stage::Idle;
    int m_buildId = -1;
    SeasonalBuildEntry m_entry;
    // The work each stage waits for: the runtime, the game version (empty while a
    // loader installs), the pack being downloaded and the one downloaded.
    QString m_javaRuntimeId;
    QString m_versionId;
    bool m_versionRequeued = false;
    bool m_cancelRequested = false;
    QString m_packPath;
    QString m_archivePath;
    bool m_packUnrecorded = false;
    // The build's record as it stood before the pack application began.
    QJsonObject m_recordBeforeApplying;
    // Per build id: the files a pack application wrote whose record could not be saved.
    // They stand for the record on disk, which names files already removed, until a record
    // is saved again.
    QHash<int, QStringList> m_unrecordedEntries;
};
