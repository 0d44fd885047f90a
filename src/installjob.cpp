#include "installjob.h"

quint64 InstallJob::begin()
{
    m_busy = true;
    m_canceling = false;
    return ++m_number;
}

void InstallJob::end()
{
    m_busy = false;
    m_canceling = false;
}
