#include "buildedits.h"
#include "testhelpers.h"

#include <QTest>

namespace {
CustomBuild named(const QString& name)
{
    return BuildEdits::newBuild(1, name, QString(), QString());
}

CustomBuild installedFabric()
{
    CustomBuild build = BuildEdits::newBuild(1, "Modded", "mc.example", "1.21");
    build.loader = "fabric";
    build.loaderVersion = "0.16.0";
    build.resolvedVersionId = "fabric-loader-0.16.0-1.21";
    return build;
}
} // namespace

class TestBuildEdits : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(TestHelpers::loadEnglishCatalog()); }

    // The first numbered name no build carries exactly, letter case included.
    void numberedNameIsTheFirstFree_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("numbered");
        QTest::newRow("no builds") << QStringList() << "Build 1";
        QTest::newRow("a gap") << QStringList({"Build 1", "build 2", "Build 3"}) << "Build 2";
        QTest::newRow("all taken") << QStringList({"Build 2", "Build 1"}) << "Build 3";
    }

    void numberedNameIsTheFirstFree()
    {
        QFETCH(QStringList, names);
        QFETCH(QString, numbered);
        QList<CustomBuild> builds;
        for (const QString& name : names)
            builds.append(named(name));
        QCOMPARE(BuildEdits::numberedName(builds), numbered);
    }

    // The version a loader installation produced belongs to that loader and version.
    void anotherLoaderVoidsTheInstalledVersion_data()
    {
        QTest::addColumn<QVariantMap>("fields");
        QTest::addColumn<QString>("resolved");
        const QString installed = "fabric-loader-0.16.0-1.21";
        QTest::newRow("same loader")
            << QVariantMap{{"loader", "fabric"}, {"loaderVersion", "0.16.0"}} << installed;
        QTest::newRow("other version")
            << QVariantMap{{"loader", "fabric"}, {"loaderVersion", "0.15.0"}} << QString();
        QTest::newRow("other loader")
            << QVariantMap{{"loader", "quilt"}, {"loaderVersion", "0.16.0"}} << QString();
        QTest::newRow("no loader")
            << QVariantMap{{"loader", ""}, {"loaderVersion", ""}} << QString();
        QTest::newRow("installed one given") << QVariantMap{{"loader", "quilt"},
                                                            {"loaderVersion", "0.26.0"},
                                                            {"resolvedVersionId", "q"}}
                                             << "q";
    }

    void anotherLoaderVoidsTheInstalledVersion()
    {
        QFETCH(QVariantMap, fields);
        QFETCH(QString, resolved);
        CustomBuild build = installedFabric();
        BuildEdits::edit(build, fields);
        QCOMPARE(build.resolvedVersionId, resolved);
    }
};

QTEST_GUILESS_MAIN(TestBuildEdits)
#include "tst_buildedits.moc"
