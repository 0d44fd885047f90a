#include "noticethrottle.h"

#include <utility>

NoticeThrottle::NoticeThrottle(std::function<void()> send) : m_send(std::move(send))
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(kIntervalMs);
    QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { intervalEnded(); });
}

void NoticeThrottle::note()
{
    if (m_timer.isActive())
        m_due = true;
    else
        sendNow();
}

void NoticeThrottle::sendNow()
{
    m_due = false;
    m_timer.start();
    m_send();
}

void NoticeThrottle::flush()
{
    if (m_due) {
        m_due = false;
        m_send();
    }
    m_timer.stop();
}

void NoticeThrottle::reset()
{
    m_due = false;
    m_timer.stop();
}

void NoticeThrottle::intervalEnded()
{
    if (m_due)
        sendNow();
}
