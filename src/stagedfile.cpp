#include "stagedfile.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <utility>

namespace {

constexpr int kNameTries = 16;
// New files get the usual permissions: everything the umask leaves of read-write.
constexpr mode_t kNewFileMode = 0666;

std::atomic_bool& hiddenNamesOnly()
{
    static std::atomic_bool hidden = false;
    return hidden;
}

QByteArray randomSuffix()
{
    return '.' + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
}

} // namespace

StagedFile::~StagedFile()
{
    discard();
}

bool StagedFile::open(const QString& path)
{
    discard();
    m_path = QFile::encodeName(path);
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    return (!hiddenNamesOnly() && openUnnamed(folder)) || openHidden();
}

void StagedFile::useHiddenNamesForTesting(bool hidden)
{
    hiddenNamesOnly() = hidden;
}

bool StagedFile::openUnnamed(const QByteArray& folder)
{
    m_descriptor = ::open(folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, kNewFileMode);
    return m_descriptor >= 0;
}

// For file systems without unnamed files: a hidden name beside the target.
bool StagedFile::openHidden()
{
    const QFileInfo target(QFile::decodeName(m_path));
    const QByteArray base =
        QFile::encodeName(target.absolutePath() + QLatin1String("/.") + target.fileName());
    for (int i = 0; i < kNameTries; ++i) {
        const QByteArray candidate = base + randomSuffix();
        m_descriptor =
            ::open(candidate.constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, kNewFileMode);
        if (m_descriptor >= 0) {
            m_hiddenPath = candidate;
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

bool StagedFile::write(const QByteArray& bytes)
{
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(m_descriptor, data, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}

bool StagedFile::flush()
{
    return ::fdatasync(m_descriptor) == 0;
}

bool StagedFile::flushTogether(const QList<StagedFile*>& files)
{
    if (files.size() == 1)
        return files.first()->flush();
    // One flush per file system covers every file on it, however many.
    std::set<dev_t> flushed;
    bool ok = true;
    for (const StagedFile* file : files) {
        struct stat status {};
        if (::fstat(file->m_descriptor, &status) != 0) {
            ok = false;
            continue;
        }
        if (flushed.insert(status.st_dev).second && ::syncfs(file->m_descriptor) != 0)
            ok = false;
    }
    return ok;
}

bool StagedFile::publish()
{
    bool named = false;
    if (m_hiddenPath.isEmpty()) {
        named = linkUnnamed();
    } else {
        named = ::rename(m_hiddenPath.constData(), m_path.constData()) == 0;
        if (named)
            m_hiddenPath.clear();
    }
    if (named) {
        ::close(std::exchange(m_descriptor, -1));
        return true;
    }
    discard();
    return false;
}

// An unnamed file is linked in through its descriptor's entry in /proc. A name that
// is taken is replaced whole: the file gets a temporary name beside it first, and
// the rename swaps the two.
bool StagedFile::linkUnnamed()
{
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(m_descriptor);
    if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, m_path.constData(), AT_SYMLINK_FOLLOW) == 0)
        return true;
    if (errno != EEXIST)
        return false;
    for (int i = 0; i < kNameTries; ++i) {
        const QByteArray aside = m_path + randomSuffix();
        if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, aside.constData(), AT_SYMLINK_FOLLOW) !=
            0) {
            if (errno == EEXIST)
                continue;
            return false;
        }
        if (::rename(aside.constData(), m_path.constData()) == 0)
            return true;
        ::unlink(aside.constData());
        return false;
    }
    return false;
}

void StagedFile::discard()
{
    if (m_descriptor < 0)
        return;
    ::close(std::exchange(m_descriptor, -1));
    if (!m_hiddenPath.isEmpty()) {
        ::unlink(m_hiddenPath.constData());
        m_hiddenPath.clear();
    }
}
