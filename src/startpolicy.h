#pragma once

#include <QString>

#include <functional>

// What may start while other work runs: for every request the player can make, the
// work that refuses it and the message that says so, in the order they are asked. The
// first rule whose work runs gives the refusal, so where several things run at once the
// player hears of the one that matters most for that request.
class StartPolicy {
public:
    // Work that may be running; several at once. The first three are the backend's own
    // operations and share its busy flags' values.
    enum Work : unsigned {
        Launch = 1u << 0,         // a launch being prepared or signing in
        MicrosoftLogin = 1u << 1, // the sign-in window's code exchange
        SeasonalInstall = 1u << 2,
        Switch = 1u << 3, // a build switch or pack application moving game files
        // A switch broke off, or the active build was removed and the next one is not yet
        // restored: the game directory holds no build whole.
        SwitchUnfinished = 1u << 4,
        VersionInstall = 1u << 5,
        LoaderInstall = 1u << 6,
        JavaInstall = 1u << 7,
        PackDownload = 1u << 8,
        Game = 1u << 9,
        // The very version or runtime the request would remove is being installed.
        TargetInstalling = 1u << 10,
    };

    enum class Request {
        Launch,
        // A launch going on to start the game once the player is signed in.
        ResumeLaunch,
        SwitchBuild,
        RemoveBuild,
        RemoveVersion,
        InstallJava,
        RemoveJava,
        // What a build needs to launch: its loader, or its game version.
        InstallBuild,
        InstallSeasonal,
    };

    // The running work as refusals name it.
    struct Names {
        QString loaderLabel;
        QString versionId;
        QString javaRuntimeId;
        QString javaLabel;
    };

    // Why the request may not start now; empty when it may. runs is asked about one kind
    // of work at a time, in the order of the request's rules, and no further once one
    // refuses: some facts cost a look at the disk.
    static QString refusal(Request request, const std::function<bool(Work)>& runs,
                           const Names& names);
};
