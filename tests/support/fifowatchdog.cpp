#include "fifowatchdog.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>

FifoWatchdog::FifoWatchdog(const QString& fifoPath, int graceMs)
{
    m_thread = std::thread([this, path = QFile::encodeName(fifoPath), graceMs] {
        const auto graceEnds =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
        while (!m_stop.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (std::chrono::steady_clock::now() < graceEnds)
                continue;
            // Without a reader this fails at once (ENXIO) and changes nothing.
            const int fd = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                ++m_rescues;
                ::close(fd);
            }
        }
    });
}

FifoWatchdog::~FifoWatchdog()
{
    m_stop = true;
    m_thread.join();
}
