#pragma once

#include "backendstore.h"

#include <QString>
#include <QStringList>

class BuildSwitcher;

// What the backend starts from, read before it connects to anything: the data directory
// made, the state files read, builds that took new ids given their archives, on a first
// run the game directory another launcher played adopted as the active build, and then
// every state file still missing written. Whatever goes wrong becomes a line of the
// warnings, in the order met; a write that fails again and again is told once.
class BackendStartup {
public:
    struct Result {
        BackendStore::State state;
        // The build adopted from the game directory; empty when none was.
        QString importedBuild;
    };

    static Result load(BuildSwitcher* switcher, QStringList& warnings);

private:
    static void adoptRenumberedBuilds(BackendStore::State& state, BuildSwitcher* switcher,
                                      QStringList& warnings);
    static QString importGameDir(BackendStore::State& state, QStringList& warnings);
};
