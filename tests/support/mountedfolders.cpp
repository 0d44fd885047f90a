#include "mountedfolders.h"

#include <QDirIterator>
#include <QFile>

#include <cerrno>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <utility>

namespace {

constexpr QFileDevice::Permissions kWriting = QFileDevice::WriteOwner | QFileDevice::WriteUser |
                                              QFileDevice::WriteGroup | QFileDevice::WriteOther;

QByteArray encoded(const QString& path)
{
    return QFile::encodeName(path);
}

} // namespace

ReadOnlyFolder::ReadOnlyFolder(const QString& folder) : m_folder(folder)
{
    m_mounted = bindReadOnly();
    if (!m_mounted)
        takeWritePermissions();
    m_error = writeFailure();
}

ReadOnlyFolder::~ReadOnlyFolder()
{
    release();
}

void ReadOnlyFolder::release()
{
    if (std::exchange(m_mounted, false))
        ::umount2(encoded(m_folder).constData(), MNT_DETACH);
    // Inner folders first: each is reached through its parent.
    std::for_each(m_taken.crbegin(), m_taken.crend(),
                  [](const auto& taken) { QFile::setPermissions(taken.first, taken.second); });
    m_taken.clear();
    m_error = 0;
}

bool ReadOnlyFolder::bindReadOnly()
{
    const QByteArray path = encoded(m_folder);
    if (::mount(path.constData(), path.constData(), nullptr, MS_BIND, nullptr) != 0)
        return false;
    if (::mount(nullptr, path.constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0)
        return true;
    ::umount2(path.constData(), MNT_DETACH);
    return false;
}

void ReadOnlyFolder::takeWritePermissions()
{
    QStringList folders{m_folder};
    QDirIterator below(m_folder, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot,
                       QDirIterator::Subdirectories);
    while (below.hasNext())
        folders.append(below.next());
    for (const QString& folder : std::as_const(folders)) {
        const QFileDevice::Permissions had = QFile::permissions(folder);
        m_taken.append({folder, had});
        QFile::setPermissions(folder, had & ~kWriting);
    }
}

// Asks the file system itself: root may write where the permission bits say no.
int ReadOnlyFolder::writeFailure() const
{
    const QByteArray probe = encoded(m_folder + QStringLiteral("/.write-probe"));
    if (::mkdir(probe.constData(), 0700) != 0)
        return errno;
    ::rmdir(probe.constData());
    return 0;
}

OwnFileSystem::OwnFileSystem(const QString& folder) : m_folder(folder)
{
    m_mounted = ::mount("tmpfs", encoded(folder).constData(), "tmpfs", 0, "size=4m,mode=0755") == 0;
}

OwnFileSystem::~OwnFileSystem()
{
    if (m_mounted)
        ::umount2(encoded(m_folder).constData(), MNT_DETACH);
}
