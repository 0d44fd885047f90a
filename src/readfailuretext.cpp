#include "readfailuretext.h"

#include "localization.h"
#include "systempath.h"

#include <cstring>

namespace ReadFailureText {

QString reason(const RegularFile::Failure& failure)
{
    switch (failure.kind) {
    case RegularFile::Failure::Kind::NotRegularFile:
        return Loc::text("storage.error.notRegularFile");
    case RegularFile::Failure::Kind::TooLarge:
        return Loc::text("storage.error.fileTooLarge");
    case RegularFile::Failure::Kind::Missing:
    case RegularFile::Failure::Kind::SystemError:
        break;
    }
    return QString::fromLocal8Bit(std::strerror(failure.code));
}

QString message(const QString& path, const RegularFile::Failure& failure)
{
    return Loc::text("common.error.readFailed").arg(SystemPath::shown(path), reason(failure));
}

} // namespace ReadFailureText
