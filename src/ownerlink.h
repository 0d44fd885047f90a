#pragma once

#include <QMutex>
#include <QObject>

#include <functional>
#include <memory>

// How work on the network thread tells an owner on another thread what happened,
// without the owner ever waiting for that work to end: the owner cuts the link when it
// goes, and nothing is told through the link after that. What was told before the cut
// and not yet heard goes with the owner, as Qt drops the calls queued for an object
// that is destroyed.
class OwnerLink {
public:
    explicit OwnerLink(QObject* owner) : m_owner(owner) {}

    // From any thread: `notice` runs on the owner's thread, unless the owner has gone.
    void tell(std::function<void()> notice);
    // On the owner's thread, before the owner goes.
    void cut();

private:
    QMutex m_mutex;
    QObject* m_owner;
};
