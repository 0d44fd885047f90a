#pragma once

#include "backendrecords.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

#include <utility>

// The backend's state files in the data directory: the accounts (profiles.json), the
// builds (customBuilds.json) and the settings (settings.json), plus the one-time
// conversion of the legacy builds file. The backend keeps the lists and the map; this
// class turns them into files and back. Reading never fails: a missing file reads as
// empty, an unreadable or broken one as empty with a warning, a broken one or one too
// large to read set aside whole as ".bak"; one too large that cannot be set aside is not
// written again until the next load, its saves failing. A write replaces a file only once
// its new content is complete and on the disk; until then the file keeps what it held.
class BackendStore {
public:
    using Profile = ::Profile;
    using CustomBuild = ::CustomBuild;

    // The stored spellings of the account kinds.
    static const QString kOffline;
    static const QString kElyBy;
    static const QString kMicrosoft;
    // The setting that names the active build by its id.
    static const QString kActiveBuildId;

    // What the state files held, and the ids the next new records take.
    struct State {
        QVariantMap settings;
        QList<Profile> profiles;
        QList<CustomBuild> builds;
        int nextProfileId = 1;
        int nextBuildId = 1;
        // Builds read with an id that cannot serve them took a fresh one: the id read
        // and the id given, in the order of the file.
        QList<std::pair<int, int>> renumberedBuilds;
    };

    static QVariantMap defaultSettings();

    // Whether the launcher never stored anything here: no settings and no builds file of
    // either name. Asked before anything is read or written.
    static bool isFirstRun();

    // Reads the settings, converts a legacy builds file, then reads the profiles and the
    // builds. Every problem met, a failed write included, becomes a line of warnings.
    static State load(QStringList& warnings);
    // Writes each state file that does not exist yet, so a first start and a file set
    // aside as broken leave all three behind.
    static void writeMissingFiles(const QVariantMap& settings, const QList<Profile>& profiles,
                                  const QList<CustomBuild>& builds, QStringList& warnings);

    // Each writes the whole file; false, with the message in error, when it could not.
    static bool saveProfiles(const QList<Profile>& profiles, QString* error = nullptr);
    static bool saveBuilds(const QList<CustomBuild>& builds, QString* error = nullptr);
    static bool saveSettings(const QVariantMap& settings, QString* error = nullptr);
    // The same while the backend starts: a failure becomes a start-up warning, told once.
    static void saveBuilds(const QList<CustomBuild>& builds, QStringList& warnings);
    static void saveSettings(const QVariantMap& settings, QStringList& warnings);

    // A setting as a whole number; fallback when it is missing, not a number, a fraction,
    // or beyond the int range.
    static int settingInt(const QVariantMap& settings, const QString& key, int fallback);
    // The game directory the settings name, or the default one; always an absolute path.
    // A relative setting stored by an earlier version is taken from the working directory.
    static QString gameDir(const QVariantMap& settings);
    // What the setting stores for the game folder the player typed: blank stays blank (the
    // default folder); a leading "~/", or "~" alone, is the player's home folder, as in the
    // desktop's file dialogs; a relative path is taken from the working directory now. So
    // the setting names one folder however and wherever the launcher is started later.
    static QString gameDirSetting(const QString& typed);
    // The seasonal catalog's base address the settings name, or the built-in one;
    // without trailing slashes, so that catalog paths can be appended.
    static QUrl seasonalBaseUrl(const QVariantMap& settings);

    // Every stored field of a build but its id, under the keys of the file.
    static QVariantMap buildFields(const CustomBuild& build);
    // Sets the fields that fields names by those keys; the id and other keys are ignored.
    static void applyBuildFields(CustomBuild& build, const QVariantMap& fields);
};
