#include "filemode.h"

#include <sys/stat.h>

#include <utility>

namespace {

const std::pair<mode_t, QFileDevice::Permissions> kBits[] = {
    {S_IRUSR, QFileDevice::ReadOwner | QFileDevice::ReadUser},
    {S_IWUSR, QFileDevice::WriteOwner | QFileDevice::WriteUser},
    {S_IXUSR, QFileDevice::ExeOwner | QFileDevice::ExeUser},
    {S_IRGRP, QFileDevice::ReadGroup},
    {S_IWGRP, QFileDevice::WriteGroup},
    {S_IXGRP, QFileDevice::ExeGroup},
    {S_IROTH, QFileDevice::ReadOther},
    {S_IWOTH, QFileDevice::WriteOther},
    {S_IXOTH, QFileDevice::ExeOther},
};

} // namespace

namespace FileMode {

QFileDevice::Permissions toPermissions(mode_t mode)
{
    QFileDevice::Permissions permissions;
    for (const auto& [bit, permission] : kBits) {
        if (mode & bit)
            permissions |= permission;
    }
    return permissions;
}

mode_t fromPermissions(QFileDevice::Permissions permissions)
{
    mode_t mode = 0;
    for (const auto& [bit, permission] : kBits) {
        if (permissions & permission)
            mode |= bit;
    }
    return mode;
}

} // namespace FileMode
