#include "folders.h"

#include "localization.h"
#include "systempath.h"

#include <cstring>

namespace Folders {

bool make(const QString& path, QString* error)
{
    int code = 0;
    if (SystemPath::makePath(path, &code))
        return true;
    if (!error)
        return false;
    const QString shown = SystemPath::shown(path);
    *error = code == 0 ? Loc::text("common.error.createFailed").arg(shown)
                       : Loc::text("common.error.createFailedWhy")
                             .arg(shown, QString::fromLocal8Bit(std::strerror(code)));
    return false;
}

} // namespace Folders
