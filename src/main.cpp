#include "localization.h"

#include <QGuiApplication>

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    if (!Localization::instance()->load())
        return -1;
    return 0;
}
