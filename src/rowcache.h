#pragma once

#include <QVariantList>

#include <functional>

// A list of rows for the interface, kept until something marks it stale and rebuilt at
// the next read: any number of changes between two reads cost one rebuild, and the
// rows' texts are in the language in force at that rebuild.
class RowCache {
public:
    void invalidate() { m_stale = true; }
    // The rows, built first when they are stale.
    const QVariantList& rows(const std::function<QVariantList()>& build);

private:
    QVariantList m_rows;
    bool m_stale = true;
};
