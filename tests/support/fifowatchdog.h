#pragma once

#include <QString>

#include <atomic>
#include <thread>

// Keeps a test from hanging on a FIFO that the code under test opens blocking: once
// graceMs have passed since construction, a helper thread opens the FIFO for writing
// whenever a reader holds it, which lets a blocked open return, and counts each time it
// was needed. A reader that only looks (a non-blocking open, closed at once) is gone long
// before the grace ends.
class FifoWatchdog {
public:
    explicit FifoWatchdog(const QString& fifoPath, int graceMs = 2000);
    ~FifoWatchdog();
    FifoWatchdog(const FifoWatchdog&) = delete;
    FifoWatchdog& operator=(const FifoWatchdog&) = delete;

    // How often a reader was found still waiting after the grace.
    int rescues() const { return m_rescues.load(); }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_rescues{0};
    std::thread m_thread;
};
