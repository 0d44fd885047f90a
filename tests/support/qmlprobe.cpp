#include "qmlprobe.h"

#include <QQmlComponent>
#include <QQmlEngine>
#include <QUrl>

namespace QmlProbe {

std::unique_ptr<QObject> create(QQmlEngine& engine, const char* source, QString* error)
{
    QQmlComponent component(&engine);
    component.setData(source, QUrl());
    std::unique_ptr<QObject> object(component.create());
    if (!object && error)
        *error = component.errorString();
    return object;
}

} // namespace QmlProbe
