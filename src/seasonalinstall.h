#pragma once

#include "backendrecords.h"
#include "installjob.h"
#include "javaruntimeservice.h"
#include "joboutcome.h"
#include "modloaderversionservice.h"
#include "seasonalbuildservice.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QUrl>

#include <functional>
#include <optional>

class BuildSwitcher;
class JavaInstaller;
class ModLoaderInstaller;
class SeasonalPackDownloader;
class VersionInstaller;

// One seasonal pack on its way to a playable build: the game directory switched to the
// build that carries it, the Java runtime it needs, its game version or mod loader, the
// pack downloaded under its checksum and applied over the files of the pack before it.
// The stages run one service at a time, in order, each skipped when it has nothing to do;
// each starts its work with a completion and goes on from that work's end alone. A failure
// or cancel at any stage ends the install once, with one message.
//
// The services answer a completion after their own notice of the end, so a service's
// report (the owner's toast) always comes before the pipeline's end.
class SeasonalInstall : public QObject {
    Q_OBJECT

public:
    using CustomBuild = ::CustomBuild;

    enum class Stage { Idle = 0, Switch = 1, Java = 2, GameFiles = 3, Download = 4, Apply = 5 };

    // Everything the pipeline reaches outside itself, for the build at a position in the
    // owner's list. Work is started with a completion that is answered once.
    struct Host {
        std::function<QString()> gameDir;
        // The game directory holds this build, whole.
        std::function<bool(int index)> holdsBuild;
        std::function<void(int index, JobDone done)> switchTo;
        // What keeps the build from launching; empty when it can.
        std::function<QStringList(int index)> missingFiles;
        // A Java of that major or newer is there to run the game.
        std::function<bool(const QString& gameDir, int major)> hasJava;
        // Answers once the Java catalog is there or could not be had.
        std::function<void(std::function<void(bool ok, const QString& message)> done)>
            loadJavaCatalog;
        std::function<std::optional<JavaRuntimeEntry>(int major)> bestJavaFor;
        std::function<void(const JavaRuntimeEntry& entry, JobDone done)> installJava;
        std::function<void()> cancelJava;
        std::function<void(const QString& gameDir, const QString& versionId, JobDone done)>
            installVersion;
        std::function<void()> cancelVersion;
        // Installs the loader onto the build's game version for the build.
        std::function<void(int index, ModLoader loader, JobDone done)> installLoader;
        std::function<void()> cancelLoader;
        std::function<void(const QUrl& url, const QString& path, const QString& sha256, qint64 size,
                           const QString& label, JobDone done)>
            downloadPack;
        std::function<void()> cancelDownload;
        std::function<void(int buildId, const QString& name, const QString& archivePath,
                           const QStringList& removals, const QJsonObject& note,
                           const QString& gameDir, JobDone done)>
            applyPack;
    };

    struct Services {
        BuildSwitcher* switcher = nullptr;
        JavaRuntimeService* javaRuntimes = nullptr;
        JavaInstaller* javaInstaller = nullptr;
        VersionInstaller* versionInstaller = nullptr;
        ModLoaderInstaller* loaderInstaller = nullptr;
        SeasonalPackDownloader* packDownloader = nullptr;
    };
    // The entries of a host that these services serve: all but gameDir, holdsBuild,
    // switchTo, missingFiles and installLoader, which are the owner's.
    static Host serviceHost(const Services& services);

    // The pack a pack application names, recorded for its build with the files it wrote.
    struct PackRecord {
        QString seasonalId;
        int revision = 0;
        QString sha256;
        // The game folder the files were written to.
        QString gameDir;
    };

    // builds is the owner's list, read again at every step: the build is followed by
    // its id.
    SeasonalInstall(const QList<CustomBuild>& builds, Host host, QObject* parent = nullptr);

    bool isRunning() const { return m_job.isBusy(); }
    Stage stage() const { return m_run.stage; }

    // Installs the entry into the build with that id, which carries it already.
    void start(const SeasonalBuildEntry& entry, int buildId);
    // Stops the stage running where that is possible; moving files cannot be stopped.
    void cancel();

    // The note a pack application carries, naming the entry's pack.
    static QJsonObject packNote(const SeasonalBuildEntry& entry);
    // The pack a note names; nothing for a note that names none.
    static std::optional<PackRecord> packRecordOf(const QJsonObject& note);
    // Records the pack and the files its application wrote for the build, off this
    // thread: a record of thousands of names waits for the disk. The earlier record stays
    // until the new one is written whole; once it is, recorded runs, before an install
    // waiting for that application goes on. One that cannot be written fails that install
    // with its reason, or is reported by error() alone. Either way the build's ledger
    // still names the files for its next pack application to remove.
    void recordPack(int buildId, const PackRecord& record, const QStringList& entries,
                    std::function<void()> recorded = {});

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

    enum class Record { None, Pending, Written, Failed };

    // One install, from start to end; replaced whole when one starts and when it ends.
    struct Run {
        Stage stage = Stage::Idle;
        int buildId = -1;
        SeasonalBuildEntry entry;
        // The game version the stage installs; empty while a loader installs.
        QString versionId;
        bool versionAskedAgain = false;
        // The pack downloaded.
        QString archivePath;
        bool applied = false;
        // The record of the pack applied, written after the application.
        Record record = Record::None;
        QString recordError;
    };

    int buildIndex() const;
    QString buildName() const;
    void advance();
    void finish();
    void fail(QString reason = QString());
    void end();
    template <typename... Args>
    std::function<void(Args...)> answerTo(void (SeasonalInstall::*react)(Args...));
    bool awaits(Stage stage) const { return m_job.isBusy() && m_run.stage == stage; }

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

    void onStageEnded(const JobOutcome& outcome);
    void onVersionEnded(const JobOutcome& outcome);
    void onDownloadEnded(const JobOutcome& outcome);
    void onApplyEnded(const JobOutcome& outcome);
    void endApplication();
    void onRecordWritten(int buildId, quint64 run, bool awaited, bool written, const QString& error,
                         const std::function<void()>& recorded);
    static bool writeRecord(int buildId, const QJsonObject& document, QString* error = nullptr);

    const QList<CustomBuild>& m_builds;
    Host m_host;
    // Each install is a run of its own, so a late answer to an earlier one finds nothing to
    // do; a cancel of the game files marks it canceling.
    InstallJob m_job;
    Run m_run;
    // One thread, so that a build's records are written in the order they were asked for.
    // Last: it waits for the writes under way before anything else goes.
    QThreadPool m_recordWriter;
};
