#include "ownerlink.h"

#include <QMetaObject>
#include <QMutexLocker>

#include <utility>

// The lock is held only while the call is queued, never while anything runs, so the
// owner's cut() waits for nothing but that.
void OwnerLink::tell(std::function<void()> notice)
{
    const QMutexLocker lock(&m_mutex);
    if (m_owner)
        QMetaObject::invokeMethod(m_owner, std::move(notice), Qt::QueuedConnection);
}

void OwnerLink::cut()
{
    const QMutexLocker lock(&m_mutex);
    m_owner = nullptr;
}
