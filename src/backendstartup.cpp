#include "backendstartup.h"

#include "buildedits.h"
#include "buildswitcher.h"
#include "gamedirimport.h"
#include "launcherpaths.h"
#include "localization.h"
#include "pathrules.h"

#include <QSet>

#include <optional>

namespace {
const QString& kActiveBuildId = BackendStore::kActiveBuildId;
} // namespace

BackendStartup::Result BackendStartup::load(BuildSwitcher* switcher, QStringList& warnings)
{
    QString error;
    if (!LauncherPaths::ensureRootExists(&error))
        warnings.append(Loc::text("storage.error.launcherDirFailed").arg(error));

    const bool firstRun = BackendStore::isFirstRun();
    Result result{BackendStore::load(warnings), {}};
    adoptRenumberedBuilds(result.state, switcher, warnings);
    // A directory left half switched is no game to adopt: resuming that switch clears it.
    if (firstRun && result.state.builds.isEmpty() && !switcher->hasUnfinishedSwitch())
        result.importedBuild = importGameDir(result.state, warnings);
    BackendStore::writeMissingFiles(result.state.settings, result.state.profiles,
                                    result.state.builds, warnings);
    return result;
}

// Builds read with ids that could not serve them took fresh ones. Their folders of
// archives follow them and the active build stays active; both files are written at once,
// so the next start finds the same ids.
void BackendStartup::adoptRenumberedBuilds(BackendStore::State& state, BuildSwitcher* switcher,
                                           QStringList& warnings)
{
    if (state.renumberedBuilds.isEmpty())
        return;
    const int activeId = BackendStore::settingInt(state.settings, kActiveBuildId, 0);
    QSet<int> handedOver;
    for (const auto& [oldId, newId] : std::as_const(state.renumberedBuilds)) {
        // A shared id keeps its folder with the build that kept the id; of builds sharing
        // a negative one, the first takes over what that id had.
        if (oldId >= 0 || handedOver.contains(oldId))
            continue;
        handedOver.insert(oldId);
        if (!switcher->renumberBuild(oldId, newId))
            warnings.append(
                Loc::text("build.warning.archiveNotMoved")
                    .arg(state.builds.at(BuildEdits::indexOfBuildId(state.builds, newId)).name,
                         PathRules::native(LauncherPaths::buildDir(oldId)),
                         PathRules::native(LauncherPaths::buildDir(newId))));
        if (oldId == activeId)
            state.settings.insert(kActiveBuildId, newId);
    }
    BackendStore::saveBuilds(state.builds, warnings);
    BackendStore::saveSettings(state.settings, warnings);
}

// A first start finds the game directory another launcher played: it becomes the active
// build as it stands. No switch runs, so its mods and worlds stay where they are, and the
// next switch archives them as this build's.
QString BackendStartup::importGameDir(BackendStore::State& state, QStringList& warnings)
{
    const std::optional<GameDirImport::Detected> found =
        GameDirImport::detect(BackendStore::gameDir(state.settings));
    if (!found)
        return {};
    const CustomBuild build = BuildEdits::imported(state.nextBuildId++, *found);
    state.builds.append(build);
    state.settings.insert(kActiveBuildId, build.id);
    BackendStore::saveSettings(state.settings, warnings);
    BackendStore::saveBuilds(state.builds, warnings);
    return build.name;
}
