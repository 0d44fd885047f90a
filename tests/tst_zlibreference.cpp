#include "localization.h"
#include "temphome.h"
#include "zlibreference.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <memory>

#include <dlfcn.h>

namespace {
const QString kPreload = QStringLiteral("LD_PRELOAD");

// What the system libz.so.1 says of itself, read independently of the code under test.
QString systemZlibVersion()
{
    void* library = dlopen("libz.so.1", RTLD_LAZY);
    if (!library)
        return {};
    using VersionFunction = const char* (*)();
    const auto version = reinterpret_cast<VersionFunction>(dlsym(library, "zlibVersion"));
    const QString text = version ? QString::fromLatin1(version()) : QString();
    dlclose(library);
    return text;
}
} // namespace

class TestZlibReference : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TempHome> m_home;

    QString appDir() const { return m_home->path() + QStringLiteral("/app/bin"); }
    QString systemDir() const { return m_home->path() + QStringLiteral("/usr/lib/Hollowmere"); }
    QString firstCandidate() const { return appDir() + QStringLiteral("/zlib/libz.so.1"); }
    QString secondCandidate() const
    {
        return m_home->path() + QStringLiteral("/app/lib/Hollowmere/libz.so.1");
    }
    QString thirdCandidate() const { return systemDir() + QStringLiteral("/libz.so.1"); }

    static void placeLibrary(const QString& path)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("\x7f"
                   "ELF");
    }

    void useTestDirs() { ZlibReference::setReferenceDirsForTesting(appDir(), systemDir()); }

private slots:
    void initTestCase() { QVERIFY(Localization::instance()->load()); }

    void init()
    {
        m_home = std::make_unique<TempHome>();
        QVERIFY(QDir().mkpath(appDir()));
    }

    void cleanup()
    {
        ZlibReference::resetForTesting();
        m_home.reset();
    }

    void systemLibraryIsAskedOnce()
    {
        const QString version = systemZlibVersion();
        const bool zlibNg = version.contains(QLatin1String("zlib-ng"), Qt::CaseInsensitive);
        QCOMPARE(ZlibReference::systemIsZlibNg(), zlibNg);
        QCOMPARE(ZlibReference::systemIsZlibNg(), zlibNg);
    }

    void versionTexts_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<bool>("zlibNg");
        QTest::newRow("zlib-ng suffix") << QStringLiteral("1.3.0.zlib-ng") << true;
        QTest::newRow("upper case") << QStringLiteral("2.1.6 ZLIB-NG") << true;
        QTest::newRow("classic") << QStringLiteral("1.3.1") << false;
        QTest::newRow("nothing") << QString() << false;
    }

    void versionTexts()
    {
        QFETCH(QString, version);
        QFETCH(bool, zlibNg);
        ZlibReference::setSystemZlibVersionForTesting(version);
        QCOMPARE(ZlibReference::systemIsZlibNg(), zlibNg);
    }

    void classicZlibLeavesTheEnvironmentAlone()
    {
        ZlibReference::setSystemZlibVersionForTesting(QStringLiteral("1.2.13"));
        useTestDirs();
        placeLibrary(thirdCandidate());
        QProcessEnvironment environment;
        environment.insert(kPreload, QStringLiteral("libx.so"));
        QString message = QStringLiteral("left over");
        QVERIFY(ZlibReference::applyTo(environment, &message));
        QVERIFY(message.isNull());
        QCOMPARE(environment.value(kPreload), QStringLiteral("libx.so"));
        QVERIFY(ZlibReference::applyTo(environment, nullptr));
    }

    void firstCandidateIsPreferred()
    {
        ZlibReference::setSystemZlibVersionForTesting(QStringLiteral("1.3.0.zlib-ng"));
        placeLibrary(firstCandidate());
        placeLibrary(thirdCandidate());
        useTestDirs();
        QCOMPARE(ZlibReference::bundledPath(), QFileInfo(firstCandidate()).canonicalFilePath());
        QVERIFY(!ZlibReference::bundledPath().contains(QLatin1String("/../")));
    }

    void secondCandidateBesideTheApplication()
    {
        placeLibrary(secondCandidate());
        placeLibrary(thirdCandidate());
        useTestDirs();
        QCOMPARE(ZlibReference::bundledPath(), QFileInfo(secondCandidate()).canonicalFilePath());

        // Without a known application folder only the system location is looked at.
        ZlibReference::setReferenceDirsForTesting(QString(), systemDir());
        QCOMPARE(ZlibReference::bundledPath(), thirdCandidate());
    }

    void linksAreResolvedAndFoldersSkipped()
    {
        QVERIFY(QDir().mkpath(firstCandidate()));
        const QString real = m_home->path() + QStringLiteral("/store/libz.so.1.3.1");
        placeLibrary(real);
        QVERIFY(QDir().mkpath(systemDir()));
        QVERIFY(QFile::link(real, thirdCandidate()));
        useTestDirs();
        QCOMPARE(ZlibReference::bundledPath(), real);
    }

    void preloadPutsTheReferenceFirst()
    {
        ZlibReference::setSystemZlibVersionForTesting(QStringLiteral("2.1.6 zlib-ng"));
        placeLibrary(thirdCandidate());
        useTestDirs();
        const QString reference = thirdCandidate();

        QProcessEnvironment environment;
        environment.insert(kPreload, QStringLiteral("libx.so"));
        QString message;
        QVERIFY(ZlibReference::applyTo(environment, &message));
        QCOMPARE(environment.value(kPreload), reference + QStringLiteral(":libx.so"));
        QCOMPARE(message,
                 Loc::text("zlib.status.preloaded").arg(QDir::toNativeSeparators(reference)));

        // Applied twice, it is listed twice: callers apply it once per child.
        QVERIFY(ZlibReference::applyTo(environment, nullptr));
        QCOMPARE(environment.value(kPreload),
                 reference + QLatin1Char(':') + reference + QStringLiteral(":libx.so"));

        QProcessEnvironment unset;
        unset.insert(QStringLiteral("HOME"), QStringLiteral("/root"));
        QVERIFY(ZlibReference::applyTo(unset, nullptr));
        QCOMPARE(unset.value(kPreload), reference);
        QCOMPARE(unset.value(QStringLiteral("HOME")), QStringLiteral("/root"));

        QProcessEnvironment empty;
        empty.insert(kPreload, QString());
        QVERIFY(ZlibReference::applyTo(empty, nullptr));
        QCOMPARE(empty.value(kPreload), reference);
    }

    void missingReferenceWarns()
    {
        ZlibReference::setSystemZlibVersionForTesting(QStringLiteral("1.3.0.zlib-ng"));
        useTestDirs();
        QProcessEnvironment environment;
        environment.insert(kPreload, QStringLiteral("libx.so"));
        QString message;
        QVERIFY(!ZlibReference::applyTo(environment, &message));
        QCOMPARE(message, Loc::text("zlib.warning.referenceMissing"));
        QVERIFY(!message.startsWith(QLatin1String("zlib.")));
        QCOMPARE(environment.value(kPreload), QStringLiteral("libx.so"));
        QCOMPARE(environment.keys().size(), 1);
        QVERIFY(!ZlibReference::applyTo(environment, nullptr));
    }

    void referenceIsLookedForOnce()
    {
        useTestDirs();
        QCOMPARE(ZlibReference::bundledPath(), QString());
        placeLibrary(firstCandidate());
        QCOMPARE(ZlibReference::bundledPath(), QString());
        useTestDirs();
        QCOMPARE(ZlibReference::bundledPath(), firstCandidate());
    }
};

QTEST_GUILESS_MAIN(TestZlibReference)
#include "tst_zlibreference.moc"
