#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QJsonDocument>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <memory>

class NetworkThread;
class QSemaphore;
class QSignalSpy;

// Small helpers that many tests and benchmarks share: files, JSON, digests and
// signal arguments.
namespace TestHelpers {

// The whole file; empty when it cannot be read.
QByteArray readFile(const QString& path);
// Replaces the file with content, creating its folders first.
bool writeFile(const QString& path, const QByteArray& content);
// The file parsed as JSON; null when it cannot be read or parsed.
QJsonDocument readJson(const QString& path);
// The game folders a build's pack ledger holds lists of, in its order.
QStringList ledgerFolders(const QString& ledgerPath);

// Lower-case hexadecimal digest of data.
QString hex(const QByteArray& data, QCryptographicHash::Algorithm algorithm);
// A path the way messages show it.
QString native(const QString& path);

// The first argument of every recorded signal, as text.
QStringList firstArguments(const QSignalSpy& spy);

// Loads the translation catalog with English chosen, from a throwaway data
// directory, so that tests can compare messages in English.
bool loadEnglishCatalog();

// The descriptors of this process's TCP connections to `port` on 127.0.0.1 (the other
// ends of a server's own have its port as their local one, not as their peer's).
QList<int> connectionsTo(quint16 port);

// The command that runs program with no network at all beyond a loopback of its
// own (a network namespace of its own), so a program under test can never reach
// another machine; the program alone where namespaces are not allowed.
QStringList withoutNetwork(const QString& program);

// Writes a zip at path whose one entry inflates from a few KiB to `size` zero bytes;
// `extra` entries (name, data) come first.
bool writeZipBomb(const QString& path, const QString& entryName, qint64 size,
                  const QList<QPair<QString, QByteArray>>& extra = {});

// Makes every free-space probe of the launcher report `bytes` while it lives.
class ScopedFreeSpace {
public:
    explicit ScopedFreeSpace(qint64 bytes);
    ~ScopedFreeSpace();
    ScopedFreeSpace(const ScopedFreeSpace&) = delete;
    ScopedFreeSpace& operator=(const ScopedFreeSpace&) = delete;
};

// Keeps the launcher's network thread in a piece of work of the test's own while it
// lives, as a thread caught in a long piece of work would be: whatever is handed to the
// thread meanwhile waits behind it. Returns once the thread is held.
class HeldNetworkThread {
public:
    HeldNetworkThread();
    ~HeldNetworkThread();
    HeldNetworkThread(const HeldNetworkThread&) = delete;
    HeldNetworkThread& operator=(const HeldNetworkThread&) = delete;

private:
    std::shared_ptr<NetworkThread> m_thread;
    std::shared_ptr<QSemaphore> m_entered;
    std::shared_ptr<QSemaphore> m_released;
};

} // namespace TestHelpers
