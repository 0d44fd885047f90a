#pragma once

#include "backendrecords.h"

#include <QDate>
#include <QList>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

struct SeasonalBuildEntry;

// The seasonal catalog as the interface lists it: one row per catalog entry, in the
// catalog's order, with what the player's builds say about it. The rows are kept
// until something marks them stale and rebuilt at the next read, so any number of
// changes between two reads cost one rebuild; their texts are in the language in
// force at that rebuild.
class SeasonalCatalogRows {
public:
    using CustomBuild = ::CustomBuild;

    void invalidate() { m_stale = true; }
    const QVariantList& rows(const QList<SeasonalBuildEntry>& entries,
                             const QList<CustomBuild>& builds);

    // "dd.MM.yyyy", or "—" without a date.
    static QString formatSeasonDate(const QDate& date);

private:
    void rebuild(const QList<SeasonalBuildEntry>& entries, const QList<CustomBuild>& builds);

    QVariantList m_rows;
    bool m_stale = true;
};
