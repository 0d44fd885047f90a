#include "startpolicy.h"

#include "localization.h"

namespace {

using Request = StartPolicy::Request;

// The backend's own operations: a launch, a Microsoft sign-in or a seasonal install.
constexpr unsigned kOperations =
    StartPolicy::Launch | StartPolicy::MicrosoftLogin | StartPolicy::SeasonalInstall;
// Whatever writes the game directory's shared files or moves a build's.
constexpr unsigned kGameFilesWork =
    StartPolicy::Switch | kOperations | StartPolicy::VersionInstall | StartPolicy::LoaderInstall;
// Everything the busy state counts.
constexpr unsigned kAnyWork = kGameFilesWork | StartPolicy::JavaInstall | StartPolicy::PackDownload;
// A runtime must not vanish under the Java program that runs from it: a loader's
// installer, or the game a launch or a seasonal install is about to start.
constexpr unsigned kJavaUsers =
    StartPolicy::LoaderInstall | StartPolicy::Launch | StartPolicy::SeasonalInstall;
// A seasonal install waits for the runtime it asked for: another one would end its Java
// stage with the wrong runtime.
constexpr unsigned kJavaInstallBlockers = StartPolicy::VersionInstall | StartPolicy::LoaderInstall |
                                          StartPolicy::Switch | StartPolicy::SeasonalInstall;

enum class Named { Nothing, LoaderLabel, VersionId, JavaRuntimeId, JavaLabel };

struct Rule {
    Request request;
    unsigned refusedWhile;
    const char* key;
    Named named = Named::Nothing;
};

// Each request's rules, in the order they are asked.
const Rule kRules[] = {
    {Request::Launch, StartPolicy::LoaderInstall, "build.error.installBusy", Named::LoaderLabel},
    {Request::Launch, StartPolicy::VersionInstall, "version.error.downloadBusy", Named::VersionId},
    {Request::Launch, StartPolicy::JavaInstall, "java.error.installBusy", Named::JavaRuntimeId},
    {Request::Launch, StartPolicy::Switch, "launch.error.switchInProgress"},
    // What the game wrote into a directory holding no build whole would be lost: the
    // switch that finishes it clears the directory unsaved, and so does the restore of
    // the build after a removed active one.
    {Request::Launch, StartPolicy::SwitchUnfinished, "switch.error.switchUnfinished"},
    {Request::Launch, kOperations, "launch.error.alreadyLaunching"},
    {Request::Launch, StartPolicy::Game, "common.error.gameRunning"},

    // A switch may have begun, or broken off, while the player entered a code.
    {Request::ResumeLaunch, StartPolicy::Switch, "launch.error.switchInProgress"},
    {Request::ResumeLaunch, StartPolicy::SwitchUnfinished, "switch.error.switchUnfinished"},

    {Request::SwitchBuild, StartPolicy::Switch, "common.error.switchInProgress"},
    {Request::SwitchBuild, StartPolicy::Game, "build.error.closeGameFilesMoving"},
    {Request::SwitchBuild, kGameFilesWork, "common.error.busyOperation"},

    {Request::RemoveBuild, kGameFilesWork, "common.error.busyOperation"},
    {Request::RemoveBuild, StartPolicy::Game, "common.error.closeGameFirst"},

    {Request::RemoveVersion, StartPolicy::TargetInstalling, "version.error.currentlyDownloading"},
    {Request::RemoveVersion, kGameFilesWork, "common.error.busyOperation"},
    {Request::RemoveVersion, StartPolicy::Game, "common.error.closeGameFirst"},

    {Request::InstallJava, StartPolicy::JavaInstall, "java.error.installBusy", Named::JavaLabel},
    {Request::InstallJava, kJavaInstallBlockers, "common.error.busyOperation"},

    {Request::RemoveJava, StartPolicy::TargetInstalling, "java.error.currentlyDownloading"},
    {Request::RemoveJava, kJavaUsers, "common.error.busyOperation"},
    {Request::RemoveJava, StartPolicy::Game, "common.error.closeGameFirst"},

    {Request::InstallBuild, kAnyWork, "common.error.busyDownload"},

    {Request::InstallSeasonal, StartPolicy::SeasonalInstall, "seasonal.error.installInProgress"},
    {Request::InstallSeasonal, StartPolicy::Game, "build.error.closeGameFilesMoving"},
    {Request::InstallSeasonal, kAnyWork, "common.error.busyOperation"},
};

bool anyRuns(unsigned work, const std::function<bool(StartPolicy::Work)>& runs)
{
    for (unsigned bit = 1; bit != 0 && bit <= work; bit <<= 1) {
        if ((work & bit) != 0 && runs(StartPolicy::Work(bit)))
            return true;
    }
    return false;
}

QString nameOf(Named named, const StartPolicy::Names& names)
{
    switch (named) {
    case Named::Nothing:
        break;
    case Named::LoaderLabel:
        return names.loaderLabel;
    case Named::VersionId:
        return names.versionId;
    case Named::JavaRuntimeId:
        return names.javaRuntimeId;
    case Named::JavaLabel:
        return names.javaLabel;
    }
    return {};
}

} // namespace

QString StartPolicy::refusal(Request request, const std::function<bool(Work)>& runs,
                             const Names& names)
{
    for (const Rule& rule : kRules) {
        if (rule.request != request || !anyRuns(rule.refusedWhile, runs))
            continue;
        const QString message = Loc::text(rule.key);
        return rule.named == Named::Nothing ? message : message.arg(nameOf(rule.named, names));
    }
    return {};
}
