#pragma once

#include <QObject>
#include <QtQml/qqmlregistration.h>

// The launcher's self-update model: the release feed by channel and the
// replacement of the running executable. The main window declares one.
class LauncherUpdates : public QObject {
    Q_OBJECT
    QML_ELEMENT

public:
    explicit LauncherUpdates(QObject* parent = nullptr);
};
