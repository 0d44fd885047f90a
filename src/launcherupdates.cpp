#include "launcherupdates.h"

LauncherUpdates::LauncherUpdates(QObject* parent) : QObject(parent) {}
