#pragma once

#include "backendrecords.h"

#include <QList>
#include <QString>
#include <QVariantMap>

struct SeasonalBuildEntry;
namespace GameDirImport {
struct Detected;
}

// How a stored build is made and changed: by the player, from a game directory found at
// the first start, and for the seasonal entry it carries.
class BuildEdits {
public:
    // The name and the server address are kept on one line.
    static CustomBuild newBuild(int id, const QString& name, const QString& serverUrl,
                                const QString& minecraftVersion);
    // The name a build added without one takes: the first numbered name, in the language
    // in force, that no build carries exactly.
    static QString numberedName(const QList<CustomBuild>& builds);
    // The build an existing game directory holds, named after what was found there.
    static CustomBuild imported(int id, const GameDirImport::Detected& found);
    // Sets the fields the map names by the builds file's keys, the name and the server
    // address on one line. A new game version voids the loader version and the version
    // installed for the old one, unless the map gives a loader version too; another loader
    // or loader version voids the version installed, unless the map gives that too.
    static void edit(CustomBuild& build, const QVariantMap& fields);

    // Why what the build needs to launch cannot be installed: it names no game version,
    // or a loader but not its version; empty when it can.
    static QString installRefusal(const CustomBuild& build);

    // The build with the id, the first when ids repeat; -1 for none.
    static int indexOfBuildId(const QList<CustomBuild>& builds, int id);
    // The build that carries the seasonal entry: the first in list order; -1 for none
    // and for an empty id.
    static int indexOfSeasonalBuild(const QList<CustomBuild>& builds, const QString& seasonalId);
    static CustomBuild newCarrier(int id, const SeasonalBuildEntry& entry);
    // The fields that bring the carrier up to the entry.
    static QVariantMap carrierFields(const CustomBuild& carrier, const SeasonalBuildEntry& entry);
};
