#pragma once

#include <QtGlobal>

// Where an installer's run stands: busy, asked to stop, and which run it is. A
// listener of the installer's notices may end the run from inside a notice, and
// even start the next one; a step that sends a notice goes on only when notify()
// says that its run still goes.
class InstallJob {
public:
    // A new run: busy and not being cancelled. Returns its number.
    quint64 begin();
    void markCanceling() { m_canceling = true; }
    void end();

    bool isBusy() const { return m_busy; }
    bool isCanceling() const { return m_canceling; }
    quint64 number() const { return m_number; }
    // Some run goes and nobody asked it to stop.
    bool isRunning() const { return m_busy && !m_canceling; }
    // That run is the one going, and nobody asked it to stop.
    bool isRunning(quint64 run) const { return isRunning() && run == m_number; }
    // That run is the one going, asked to stop or not.
    bool isCurrent(quint64 run) const { return m_busy && run == m_number; }

    // Sends a notice (a callable emitting a signal) and tells whether the run that
    // sent it still goes.
    template <typename Notice> bool notify(Notice&& notice)
    {
        const quint64 run = m_number;
        notice();
        return isRunning(run);
    }

private:
    quint64 m_number = 0;
    bool m_busy = false;
    bool m_canceling = false;
};
