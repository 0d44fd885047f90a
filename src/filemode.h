#pragma once

#include <QFileDevice>

#include <sys/types.h>

// The system's permission bits and Qt's permission flags, one for the other. Qt keeps the
// owner's bits twice, as owner and as current user: both come from and go to the owner's.
namespace FileMode {

QFileDevice::Permissions toPermissions(mode_t mode);
mode_t fromPermissions(QFileDevice::Permissions permissions);

} // namespace FileMode
