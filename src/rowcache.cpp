#include "rowcache.h"

const QVariantList& RowCache::rows(const std::function<QVariantList()>& build)
{
    if (m_stale) {
        m_rows = build();
        m_stale = false;
    }
    return m_rows;
}
