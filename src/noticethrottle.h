#pragma once

#include <QTimer>

#include <functional>

// Passes a run of changes on as notices: the first at once, then at most one per interval
// while more keep coming, so that a listener on another thread hears a few dozen a second
// however many changes there are. Lives on the thread whose changes it passes on.
class NoticeThrottle {
public:
    // The longest a change waits to be told: often enough for the eye.
    static constexpr int kIntervalMs = 40;

    explicit NoticeThrottle(std::function<void()> send);
    NoticeThrottle(const NoticeThrottle&) = delete;
    NoticeThrottle& operator=(const NoticeThrottle&) = delete;

    // A change: told now when the last notice is an interval old, else when it is.
    void note();
    // Tells now, whether or not a change waits; the next interval starts.
    void sendNow();
    // Tells a change that waits now, and the next change at once.
    void flush();
    // Forgets a change that waits.
    void reset();

private:
    void intervalEnded();

    std::function<void()> m_send;
    QTimer m_timer;
    bool m_due = false;
};
