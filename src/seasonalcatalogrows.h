#pragma once

#include "backendrecords.h"
#include "rowcache.h"

#include <QDate>
#include <QList>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

struct SeasonalBuildEntry;

// The seasonal catalog as the interface lists it: one row per catalog entry, in the
// catalog's order, with what the player's builds say about it, kept as a RowCache is.
class SeasonalCatalogRows {
public:
    using CustomBuild = ::CustomBuild;

    void invalidate() { m_rows.invalidate(); }
    const QVariantList& rows(const QList<SeasonalBuildEntry>& entries,
                             const QList<CustomBuild>& builds);

    // "dd.MM.yyyy", or "—" without a date.
    static QString formatSeasonDate(const QDate& date);

private:
    static QVariantList build(const QList<SeasonalBuildEntry>& entries,
                              const QList<CustomBuild>& builds);

    RowCache m_rows;
};
