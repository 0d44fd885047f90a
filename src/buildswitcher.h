#pragma once

#include "joboutcome.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class BuildArchiveWorker;
class QThread;

// Swaps the content of the shared game directory between builds. Leaving a build zips
// its files (everything but the shared top-level entries) into a dated archive in the
// build's own directory; the game directory is then cleared and the target's newest
// archive extracted. The file work runs on a worker thread; every step that changes the
// game directory is recorded in the build index first, so an interrupted switch or pack
// installation is finished at the next start. Each request ends in finished or failed,
// after which its own caller hears the same end through its completion.
class BuildSwitcher : public QObject {
    Q_OBJECT

public:
    enum Stage { Idle = 0, Archiving = 1, Clearing = 2, Restoring = 3, Applying = 4 };

    explicit BuildSwitcher(QObject* parent = nullptr);
    ~BuildSwitcher() override;

    static QStringList sharedTopLevel();

    // done hears of this request's end; a failure tells whether the game directory is
    // intact, as failed() does.
    void switchTo(int fromId, const QString& fromName, int toId, const QString& toName,
                  const QString& gameDir, JobDone done = {});
    // Removes the files the build's earlier packs wrote (its ledger, LauncherPaths::
    // packLedgerFile, kept by the application as it goes) and the removals besides, then
    // writes the pack.
    void applyPack(int buildId, const QString& name, const QString& packPath,
                   const QStringList& removals, const QJsonObject& note, const QString& gameDir,
                   JobDone done = {});
    QString interruptedSwitchWarning() const;
    void resumeInterrupted(const QString& gameDir);
    bool forgetBuild(int buildId);
    // Hands a build's folder, with its archives, to the build's new id; false when it
    // could not be moved.
    bool renumberBuild(int oldId, int newId);
    void cancel();

    bool busy() const { return m_stage != Idle; }
    int stage() const { return m_stage; }
    double fraction() const;
    QString stageText() const { return m_stageText; }
    QString currentPath() const { return m_currentPath; }
    QStringList packEntries() const { return m_packEntries; }
    QJsonObject appliedPackNote() const { return m_appliedPackNote; }
    // The game folder of the operation running, or of the last one.
    QString gameDir() const { return m_gameDir; }
    QString archivePathOf(int buildId) const;
    // True while the index records a switch that did not complete: the game directory
    // then holds no build's complete content.
    bool hasUnfinishedSwitch() const;

    // Replaces the free-space probe of the disk-space rule and of every extraction; an
    // empty function restores the real one. The probe returns the bytes available at a
    // path, or -1 when unknown.
    static void setAvailableSpaceProbeForTesting(std::function<qint64(const QString&)> probe);

signals:
    void progressChanged();
    void finished(int toBuildId);
    void failed(int toBuildId, const QString& message, bool gameDirIntact);

private:
    QString buildDir(int buildId) const;
    void setStage(int stage, const QString& text);
    void requestArchive();
    void requestClear();
    void requestRestore(const QString& zipPath);
    void requestApplyPack();
    bool recordUnsavedSwitch();
    void commitArchive();
    void beginClearing();
    void beginRestoring();
    void beginApplying();
    void finish();
    // Ends the operation: stage, texts and counts back to rest, then progressChanged.
    void becomeIdle();
    void finishApplying();
    void succeed();
    void fail(const QString& message, bool gameDirIntact);
    // Ends a request that changed nothing before it began.
    void refuse(int toId, const QString& message, JobCallers callers);
    void onWorkerProgress(int done, int total, const QString& path);
    void onWorkerFinished(bool ok, const QString& message);
    void startOperation(int fromId, int toId, const QString& toName, const QString& gameDir,
                        JobCallers callers = JobCallers());
    void resumeApplying(const QJsonObject& index, const QString& gameDir);
    bool checkDiskSpace(QString* error) const;
    QJsonObject readIndex() const;
    bool writeIndex(const QJsonObject& index) const;
    void sweepTempArchives() const;

    QThread* m_thread = nullptr;
    BuildArchiveWorker* m_worker = nullptr;
    int m_stage = Idle;
    QString m_stageText;
    QString m_currentPath;
    int m_done = 0;
    int m_total = 0;
    int m_fromId = -1;
    int m_toId = -1;
    QString m_fromName;
    QString m_toName;
    QString m_gameDir;
    QString m_tempArchive;
    QString m_packPath;
    QStringList m_packRemovals;
    QJsonObject m_packNote;
    QStringList m_packEntries;
    QJsonObject m_appliedPackNote;
    JobCallers m_callers;
};
