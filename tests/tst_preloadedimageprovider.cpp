#include "preloadedimageprovider.h"

#include <QTest>

class TestPreloadedImageProvider : public QObject {
    Q_OBJECT

private slots:
    void everyRequestGetsTheModulesImage_data();
    void everyRequestGetsTheModulesImage();
};

void TestPreloadedImageProvider::everyRequestGetsTheModulesImage_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    QTest::newRow("preloaded") << QStringLiteral("images/launcherBackground.png")
                               << QSize(2880, 1620);
    QTest::newRow("not preloaded") << QStringLiteral("images/Trash.svg") << QSize(16, 16);
    QTest::newRow("not in the module") << QStringLiteral("images/none.png") << QSize();
}

// Asked twice, the provider hands over its decode and then reads the file again: both
// answers are the module's image, and a missing file is a null image, not a wait.
void TestPreloadedImageProvider::everyRequestGetsTheModulesImage()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);
    PreloadedImageProvider provider({QStringLiteral("images/launcherBackground.png")});
    for (int request = 0; request < 2; ++request) {
        QSize reported(-2, -2);
        const QImage image = provider.requestImage(path, &reported, QSize());
        QCOMPARE(image.size(), size.isValid() ? size : QSize(0, 0));
        QCOMPARE(reported, image.size());
    }
    QCOMPARE(PreloadedImageProvider::address(path).toString(),
             QStringLiteral("image://preloaded/") + path);
}

QTEST_GUILESS_MAIN(TestPreloadedImageProvider)
#include "tst_preloadedimageprovider.moc"
