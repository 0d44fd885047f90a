#include "networkthread.h"

#include "lowdelaysockets.h"

#include <QMetaObject>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>

#include <cerrno>
#include <mutex>
#include <sys/resource.h>
#include <unistd.h>
#include <utility>

namespace {

std::mutex& currentMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::weak_ptr<NetworkThread>& current()
{
    static std::weak_ptr<NetworkThread> thread;
    return thread;
}

// A connection is ready for requests once its encryption is set up: from then on its
// requests go out as soon as they are written (see LowDelaySockets). Every download on
// the thread is fetched over https.
void sendRequestsAtOnce(QNetworkAccessManager* manager)
{
    QObject::connect(manager, &QNetworkAccessManager::encrypted, manager, [](QNetworkReply* reply) {
        LowDelaySockets::applyToConnectionsTo(quint16(reply->url().port(443)));
    });
}

// How many nice steps the network thread stands below the thread that starts it; the
// threads it starts in turn (its managers' own, the disk workers) inherit its place.
constexpr int kNiceSteps = 5;

// On a machine kept busy, by the downloads' own threads or by others, the interface
// thread then gets the processor first when it wakes: its frames keep their pace, and
// the downloads lose little, as the interface needs little.
void yieldToTheInterface()
{
    const id_t self = id_t(::gettid());
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, self);
    if (errno == 0)
        ::setpriority(PRIO_PROCESS, self, nice + kNiceSteps);
}

} // namespace

std::shared_ptr<NetworkThread> NetworkThread::acquire()
{
    const std::lock_guard lock(currentMutex());
    std::shared_ptr<NetworkThread> thread = current().lock();
    if (!thread) {
        thread.reset(new NetworkThread);
        current() = thread;
    }
    return thread;
}

NetworkThread::NetworkThread()
{
    m_thread.setObjectName(QStringLiteral("Hollowmere network"));
    QObject::connect(&m_thread, &QThread::started, &yieldToTheInterface);
    m_anchor = new QObject;
    m_anchor->moveToThread(&m_thread);
    // What lives on the thread goes with it, on the thread: its managers' replies and
    // their own threads belong there.
    QObject::connect(&m_thread, &QThread::finished, [this] {
        m_managers.clear();
        delete std::exchange(m_anchor, nullptr);
    });
    m_thread.start();
}

// Work handed over before runs first: what an owner let go on its way out (a download's
// relay, a list's batch) is deleted there, not lost with the thread.
NetworkThread::~NetworkThread()
{
    post([this] { m_thread.quit(); });
    m_thread.wait();
}

void NetworkThread::post(std::function<void()> work)
{
    QMetaObject::invokeMethod(m_anchor, std::move(work), Qt::QueuedConnection);
}

void NetworkThread::run(const std::function<void()>& work)
{
    if (QThread::currentThread() == &m_thread)
        work();
    else
        QMetaObject::invokeMethod(m_anchor, work, Qt::BlockingQueuedConnection);
}

void NetworkThread::follow(const QObject* owner)
{
    {
        QMutexLocker lock(&m_followedMutex);
        if (m_followed.contains(owner))
            return;
        m_followed.insert(owner);
    }
    QObject::connect(owner, &QObject::destroyed, [self = weak_from_this(), owner] {
        if (const std::shared_ptr<NetworkThread> thread = self.lock())
            thread->forget(owner);
    });
}

// The managers stay while downloads still use them; a later owner at the same address
// gets managers of its own, as its work is posted after this.
void NetworkThread::forget(const QObject* owner)
{
    {
        QMutexLocker lock(&m_followedMutex);
        m_followed.remove(owner);
    }
    post([this, owner] { m_managers.erase(owner); });
}

std::shared_ptr<QNetworkAccessManager> NetworkThread::manager(const QObject* owner, int lane)
{
    std::shared_ptr<QNetworkAccessManager>& manager = m_managers[owner].at(std::size_t(lane));
    if (!manager) {
        manager = std::make_shared<QNetworkAccessManager>();
        sendRequestsAtOnce(manager.get());
    }
    return manager;
}

void NetworkThread::dropManager(const QObject* owner, int lane)
{
    const auto found = m_managers.find(owner);
    if (found != m_managers.end())
        found->second.at(std::size_t(lane)).reset();
}
