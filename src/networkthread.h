#pragma once

#include <QMutex>
#include <QSet>
#include <QThread>

#include <array>
#include <functional>
#include <map>
#include <memory>

class QNetworkAccessManager;
class QObject;

// The thread the launcher's downloads run on: their network managers, their replies and
// the handing of their bytes to the disk workers stay off the interface thread, which
// hears only what the downloads report. One runs while anything holds it.
//
// Work is handed over with post() or run(); nothing running on the thread ever waits
// for another thread's event loop, so run() cannot deadlock, whatever that thread
// serves meanwhile (a test's server, for one).
class NetworkThread : public std::enable_shared_from_this<NetworkThread> {
public:
    // Network managers per owner: a second one carries transfers beyond what one
    // manager connects to a host at once.
    static constexpr int kLanes = 2;

    // The running thread, started when none runs.
    static std::shared_ptr<NetworkThread> acquire();
    // Ends the thread once its work is done; never called on the thread itself.
    ~NetworkThread();
    NetworkThread(const NetworkThread&) = delete;
    NetworkThread& operator=(const NetworkThread&) = delete;

    // Runs `work` on the thread after everything posted before it.
    void post(std::function<void()> work);
    // The same, and returns once `work` has run; on the thread itself it runs at once.
    void run(const std::function<void()>& work);
    // Makes the managers that stand in for `owner` (a caller's network manager) on the
    // thread go away with it. Called on the owner's thread before anything is posted
    // for it.
    void follow(const QObject* owner);
    // On the thread only: the manager that carries the downloads `owner` starts through
    // the lane (0 or 1). Every download of one owner and lane shares its connections.
    std::shared_ptr<QNetworkAccessManager> manager(const QObject* owner, int lane);
    // On the thread only: the manager of `owner` and `lane` is let go. It goes, and its
    // connections with it, once nothing else holds it; the next manager() call for them
    // makes another.
    void dropManager(const QObject* owner, int lane);

private:
    NetworkThread();
    void forget(const QObject* owner);

    QThread m_thread;
    QObject* m_anchor = nullptr; // lives on the thread: the context of the work handed over
    QMutex m_followedMutex;
    QSet<const QObject*> m_followed;
    // Touched on the thread only.
    std::map<const QObject*, std::array<std::shared_ptr<QNetworkAccessManager>, kLanes>> m_managers;
};
