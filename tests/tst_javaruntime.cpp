#include "javaruntime.h"
#include "launcherpaths.h"
#include "localization.h"
#include "temphome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <memory>

namespace {
// Creates a runtime folder with an executable file at bin/java and returns its path.
QString makeRuntimeDir(const QString& name)
{
    const QString dir = LauncherPaths::javaDir() + QLatin1Char('/') + name;
    QDir().mkpath(dir + QStringLiteral("/bin"));
    QFile java(dir + QStringLiteral("/bin/java"));
    if (java.open(QIODevice::WriteOnly))
        java.write("#!/bin/sh\n");
    return dir;
}

InstalledJavaRuntime installRuntime(const QString& id, int major, const QString& version)
{
    const QString dir = makeRuntimeDir(JavaRuntimeStore::sanitizeId(id));
    InstalledJavaRuntime runtime{
        id, QStringLiteral("jdk"), major, version, dir + QStringLiteral("/bin/java"), 1234};
    QString error;
    if (!JavaRuntimeStore::writeMeta(runtime, &error))
        qWarning("writeMeta failed: %s", qPrintable(error));
    return runtime;
}

void writeRawMeta(const QString& dirName, const QJsonObject& object)
{
    QFile file(LauncherPaths::javaDir() + QLatin1Char('/') + dirName +
               QStringLiteral("/runtime.json"));
    if (file.open(QIODevice::WriteOnly))
        file.write(QJsonDocument(object).toJson());
}

QStringList idsOf(const QList<InstalledJavaRuntime>& runtimes)
{
    QStringList ids;
    for (const InstalledJavaRuntime& runtime : runtimes)
        ids << runtime.id;
    return ids;
}
} // namespace

class TestJavaRuntime : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TempHome> m_home;

private slots:
    void initTestCase() { QVERIFY(Localization::instance()->load()); }

    void init()
    {
        m_home = std::make_unique<TempHome>();
        QVERIFY(LauncherPaths::ensureRootExists());
    }

    void cleanup() { m_home.reset(); }

    void minimumFor_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<int>("major");
        const QList<std::pair<const char*, int>> rows = {
            {"", 0},
            {"   ", 0},
            {" 1.20.5 ", 21},
            {"1.20", 17},
            {"1.20.4", 17},
            {"1.20.5", 21},
            {"1.20.6", 21},
            {"1.21", 21},
            {"1.21.4", 21},
            {"1.20.5-rc1", 21},
            {"1.18", 17},
            {"1.18.2", 17},
            {"1.19.4", 17},
            {"1.17", 16},
            {"1.17.1", 16},
            {"1.16.5", 8},
            {"1.12.2", 8},
            {"1.8.9", 8},
            {"1", 8},
            {"24w14a", 21},
            {"23w51b", 17},
            {"22w11a", 17},
            {"21w44a", 16},
            {"20w45a", 8},
            {"13w16a", 8},
            {"24W14a", 21},
            {"24w14", 21},
            {"20w14xyz", 21},
            {"2.0", 21},
            {"1.RV-Pre1", 8},
            {"b1.7.3", 8},
            {"a1.0.4", 8},
            {"1.16.5-forge", 8},
            {"99999999999.1", 21},
            {"1.99999999999", 8},
        };
        for (const auto& [id, major] : rows)
            QTest::newRow(*id ? id : "(empty)") << QString::fromLatin1(id) << major;
    }

    void minimumFor()
    {
        QFETCH(QString, id);
        QFETCH(int, major);
        QCOMPARE(JavaRequirement::minimumFor(id), major);
    }

    void coverageBands()
    {
        QCOMPARE(JavaRequirement::coverage(21), Loc::text("java.range.modern"));
        QCOMPARE(JavaRequirement::coverage(25), Loc::text("java.range.modern"));
        QCOMPARE(JavaRequirement::coverage(20), Loc::text("java.range.mid"));
        QCOMPARE(JavaRequirement::coverage(17), Loc::text("java.range.mid"));
        QCOMPARE(JavaRequirement::coverage(16), Loc::text("java.range.seventeen"));
        QCOMPARE(JavaRequirement::coverage(15), Loc::text("java.range.unsuitable"));
        QCOMPARE(JavaRequirement::coverage(11), Loc::text("java.range.unsuitable"));
        QCOMPARE(JavaRequirement::coverage(9), Loc::text("java.range.unsuitable"));
        QCOMPARE(JavaRequirement::coverage(8), Loc::text("java.range.legacy"));
        QCOMPARE(JavaRequirement::coverage(1), Loc::text("java.range.legacy"));
        QCOMPARE(JavaRequirement::coverage(0), QString());
        QCOMPARE(JavaRequirement::coverage(-1), QString());
        QVERIFY(!Loc::text("java.range.modern").startsWith(QLatin1String("java.")));
    }

    void kinds()
    {
        QCOMPARE(javaKindKey(JavaRuntimeKind::Java), QStringLiteral("java"));
        QCOMPARE(javaKindKey(JavaRuntimeKind::Jdk), QStringLiteral("jdk"));
        QCOMPARE(javaKindKey(JavaRuntimeKind::Jre), QStringLiteral("jre"));
        QCOMPARE(javaKindKey(static_cast<JavaRuntimeKind>(7)), QStringLiteral("jdk"));
        for (JavaRuntimeKind kind :
             {JavaRuntimeKind::Java, JavaRuntimeKind::Jdk, JavaRuntimeKind::Jre})
            QCOMPARE(javaKindFromKey(javaKindKey(kind)), std::optional(kind));
        QVERIFY(!javaKindFromKey(QStringLiteral("JDK")));
        QVERIFY(!javaKindFromKey(QStringLiteral(" jdk")));
        QVERIFY(!javaKindFromKey(QString()));
        QCOMPARE(javaKindTitle(JavaRuntimeKind::Jre), Loc::text("common.java.kind.jre"));
        QCOMPARE(javaKindTitle(JavaRuntimeKind::Java), Loc::text("common.java.kind.java"));
        QCOMPARE(javaKindTitle(static_cast<JavaRuntimeKind>(7)), QString());
    }

    void sanitizeId_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("expected");
        QTest::newRow("blank and plus") << QStringLiteral("a+b c") << QStringLiteral("a_b_c");
        QTest::newRow("parent") << QStringLiteral("../x") << QStringLiteral("_x");
        QTest::newRow("letters beyond ASCII")
            << QStringLiteral("Jäva 17") << QStringLiteral("Jäva_17");
        QTest::newRow("kept") << QStringLiteral("x.y-z_1") << QStringLiteral("x.y-z_1");
        QTest::newRow("dots only") << QStringLiteral("...") << QStringLiteral("");
        QTest::newRow("empty") << QStringLiteral("") << QStringLiteral("");
        QTest::newRow("leading dots") << QStringLiteral("..a.b") << QStringLiteral("a.b");
        QTest::newRow("separators") << QStringLiteral("a/b\\c:d") << QStringLiteral("a_b_c_d");
        QTest::newRow("outside the basic plane")
            << QStringLiteral("a\U0001F600b") << QStringLiteral("a__b");
        QTest::newRow("symbol beyond ASCII") << QStringLiteral("a©b") << QStringLiteral("a_b");
        QTest::newRow("catalog id")
            << QStringLiteral("jdk-17.0.9+9-x64") << QStringLiteral("jdk-17.0.9_9-x64");
    }

    void sanitizeId()
    {
        QFETCH(QString, id);
        QFETCH(QString, expected);
        const QString sanitized = JavaRuntimeStore::sanitizeId(id);
        QCOMPARE(sanitized, expected);
        QCOMPARE(JavaRuntimeStore::sanitizeId(sanitized), sanitized);
        QCOMPARE(JavaRuntimeStore::dirFor(id).isEmpty(), expected.isEmpty());
        if (!expected.isEmpty())
            QCOMPARE(JavaRuntimeStore::dirFor(id),
                     LauncherPaths::javaDir() + QLatin1Char('/') + expected);
    }

    void metaRoundTrip()
    {
        const QString dir = makeRuntimeDir(QStringLiteral("jdk-21.0.2_13"));
        const InstalledJavaRuntime written{QStringLiteral("jdk-21.0.2+13"),
                                           QStringLiteral("jdk"),
                                           21,
                                           QStringLiteral("21.0.2+13"),
                                           dir + QStringLiteral("/bin/java"),
                                           (qint64(1) << 53)};
        QString error;
        QVERIFY2(JavaRuntimeStore::writeMeta(written, &error), qPrintable(error));
        QVERIFY(error.isEmpty());

        QFile file(dir + QStringLiteral("/runtime.json"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QVERIFY(!content.contains(' ') && !content.contains('\n'));
        const QJsonObject object = QJsonDocument::fromJson(content).object();
        QCOMPARE(object.keys().size(), 6);
        QCOMPARE(object.value(QStringLiteral("javaPath")).toString(), QStringLiteral("bin/java"));

        const std::optional<InstalledJavaRuntime> read = JavaRuntimeStore::find(written.id);
        QVERIFY(read);
        QCOMPARE(*read, written);
        QVERIFY(!JavaRuntimeStore::find(QStringLiteral("JDK-21.0.2+13")));
    }

    void findRejectsBrokenRuntimes()
    {
        installRuntime(QStringLiteral("good"), 17, QStringLiteral("17.0.9"));
        QVERIFY(JavaRuntimeStore::find(QStringLiteral("good")));

        makeRuntimeDir(QStringLiteral("other"));
        writeRawMeta(QStringLiteral("other"),
                     {{QStringLiteral("id"), QStringLiteral("Other")},
                      {QStringLiteral("javaPath"), QStringLiteral("bin/java")}});
        QVERIFY(!JavaRuntimeStore::find(QStringLiteral("other")));

        makeRuntimeDir(QStringLiteral("garbage"));
        writeRawMeta(QStringLiteral("garbage"), {});
        QFile garbage(LauncherPaths::javaDir() + QStringLiteral("/garbage/runtime.json"));
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write("{not json");
        garbage.close();
        QVERIFY(!JavaRuntimeStore::find(QStringLiteral("garbage")));

        makeRuntimeDir(QStringLiteral("unfinished"));
        QVERIFY(!JavaRuntimeStore::find(QStringLiteral("unfinished")));
        QVERIFY(!JavaRuntimeStore::find(QStringLiteral("...")));
    }

    void looseFieldsReadLeniently()
    {
        const QString dir = makeRuntimeDir(QStringLiteral("loose"));
        writeRawMeta(QStringLiteral("loose"),
                     {{QStringLiteral("id"), QStringLiteral("loose")},
                      {QStringLiteral("kind"), 5},
                      {QStringLiteral("major"), 17.5},
                      {QStringLiteral("javaPath"), dir + QStringLiteral("/bin/java")},
                      {QStringLiteral("size"), 12.9}});
        const std::optional<InstalledJavaRuntime> runtime =
            JavaRuntimeStore::find(QStringLiteral("loose"));
        QVERIFY(runtime);
        QCOMPARE(runtime->kind, QString());
        QCOMPARE(runtime->major, 0);
        QCOMPARE(runtime->version, QString());
        QCOMPARE(runtime->javaPath, dir + QStringLiteral("/bin/java"));
        QCOMPARE(runtime->size, qint64(12));

        writeRawMeta(QStringLiteral("loose"),
                     {{QStringLiteral("id"), QStringLiteral("loose")},
                      {QStringLiteral("major"), QStringLiteral("17")},
                      {QStringLiteral("javaPath"), QStringLiteral("bin/java")},
                      {QStringLiteral("size"), 1e300}});
        QCOMPARE(JavaRuntimeStore::find(QStringLiteral("loose"))->major, 0);
        QCOMPARE(JavaRuntimeStore::find(QStringLiteral("loose"))->size, qint64(0));
    }

    void installedOrder()
    {
        installRuntime(QStringLiteral("c-17-9"), 17, QStringLiteral("17.0.9"));
        installRuntime(QStringLiteral("a-17-12"), 17, QStringLiteral("17.0.12"));
        installRuntime(QStringLiteral("d-21"), 21, QStringLiteral("21.0.1"));
        installRuntime(QStringLiteral("b-17-10"), 17, QStringLiteral("17.0.10"));
        installRuntime(QStringLiteral("e-17-10"), 17, QStringLiteral("17.0.10"));
        installRuntime(QStringLiteral("f-8"), 8, QStringLiteral("8u392"));
        makeRuntimeDir(QStringLiteral("g-unfinished"));
        makeRuntimeDir(QStringLiteral(".hidden"));
        writeRawMeta(QStringLiteral(".hidden"),
                     {{QStringLiteral("id"), QStringLiteral(".hidden")},
                      {QStringLiteral("javaPath"), QStringLiteral("bin/java")}});

        QCOMPARE(idsOf(JavaRuntimeStore::installed()),
                 QStringList({"d-21", "c-17-9", "a-17-12", "b-17-10", "e-17-10", "f-8"}));

        QVERIFY(QFile::remove(LauncherPaths::javaDir() + QStringLiteral("/c-17-9/bin/java")));
        QCOMPARE(idsOf(JavaRuntimeStore::installed()),
                 QStringList({"d-21", "a-17-12", "b-17-10", "e-17-10", "f-8"}));
        QVERIFY(JavaRuntimeStore::remove(QStringLiteral("c-17-9")));
        QVERIFY(!QFileInfo::exists(LauncherPaths::javaDir() + QStringLiteral("/c-17-9")));
    }

    void installedWithoutJavaFolder()
    {
        QVERIFY(QDir(LauncherPaths::javaDir()).removeRecursively());
        QVERIFY(JavaRuntimeStore::installed().isEmpty());
    }

    void removal()
    {
        const InstalledJavaRuntime runtime =
            installRuntime(QStringLiteral("jre 17"), 17, QStringLiteral("17"));
        QVERIFY(JavaRuntimeStore::find(runtime.id));
        QString error;
        QVERIFY(JavaRuntimeStore::remove(runtime.id, &error));
        QVERIFY(error.isEmpty());
        QVERIFY(!QFileInfo::exists(LauncherPaths::javaDir() + QStringLiteral("/jre_17")));
        QVERIFY(JavaRuntimeStore::installed().isEmpty());

        error = QStringLiteral("untouched");
        QVERIFY(JavaRuntimeStore::remove(QStringLiteral("never-installed"), &error));
        QCOMPARE(error, QStringLiteral("untouched"));

        for (const QString& id : {QString(), QStringLiteral("...")}) {
            error.clear();
            QVERIFY(!JavaRuntimeStore::remove(id, &error));
            QCOMPARE(error, Loc::text("java.error.invalidRuntimeId"));
        }
        QVERIFY(QFileInfo(LauncherPaths::javaDir()).isDir());
    }

    void removingALinkedRuntimeKeepsItsTarget()
    {
        const QString outside = m_home->path() + QStringLiteral("/elsewhere");
        QVERIFY(QDir().mkpath(outside));
        QVERIFY(m_home->writeFile(QStringLiteral("elsewhere/keep.txt"), "precious"));
        const QString link = LauncherPaths::javaDir() + QStringLiteral("/linked");
        QVERIFY(QFile::link(outside, link));

        QVERIFY(JavaRuntimeStore::remove(QStringLiteral("linked")));
        QVERIFY(!QFileInfo(link).isSymLink());
        QVERIFY(QFileInfo::exists(outside + QStringLiteral("/keep.txt")));
    }

    void writeMetaFailures()
    {
        QString error;
        const InstalledJavaRuntime missingDir{
            QStringLiteral("nowhere"), QStringLiteral("jre"),         8,
            QStringLiteral("8"),       QStringLiteral("/x/bin/java"), 0};
        QVERIFY(!JavaRuntimeStore::writeMeta(missingDir, &error));
        QCOMPARE(error,
                 Loc::text("java.error.writeFailed")
                     .arg(QDir::toNativeSeparators(LauncherPaths::javaDir() +
                                                   QStringLiteral("/nowhere/runtime.json"))));

        InstalledJavaRuntime invalid = missingDir;
        invalid.id = QStringLiteral("..");
        QVERIFY(!JavaRuntimeStore::writeMeta(invalid, &error));
        QCOMPARE(error, Loc::text("java.error.invalidRuntimeId"));
    }

    void writeMetaOntoAFolderFails()
    {
        // A folder where runtime.json should be: the save-file cannot replace it.
        const InstalledJavaRuntime runtime =
            installRuntime(QStringLiteral("blocked"), 17, QStringLiteral("17"));
        const QString meta = LauncherPaths::javaDir() + QStringLiteral("/blocked/runtime.json");
        QVERIFY(QFile::remove(meta));
        QVERIFY(QDir().mkpath(meta));
        QString error;
        QVERIFY(!JavaRuntimeStore::writeMeta(runtime, &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(QFileInfo(meta).isDir());
        QVERIFY(!JavaRuntimeStore::find(runtime.id));
    }

    void locateBinary()
    {
        const QString root = m_home->path() + QStringLiteral("/unpacked");
        QCOMPARE(JavaRuntimeStore::locateBinary(QString()), QString());
        QCOMPARE(JavaRuntimeStore::locateBinary(root), QString());

        QVERIFY(m_home->writeFile(QStringLiteral("unpacked/java"), "x"));
        QVERIFY(m_home->writeFile(QStringLiteral("unpacked/Bin/java"), "x"));
        QVERIFY(m_home->writeFile(QStringLiteral("unpacked/.hidden/bin/java"), "x"));
        QVERIFY(QDir().mkpath(root + QStringLiteral("/dirs/bin/java")));
        QCOMPARE(JavaRuntimeStore::locateBinary(root), QString());

        QVERIFY(m_home->writeFile(QStringLiteral("unpacked/jdk-17/jre/bin/java"), "x"));
        QCOMPARE(JavaRuntimeStore::locateBinary(root),
                 root + QStringLiteral("/jdk-17/jre/bin/java"));
        QVERIFY(m_home->writeFile(QStringLiteral("unpacked/jdk-17/bin/JAVA"), "x"));
        QCOMPARE(JavaRuntimeStore::locateBinary(root), root + QStringLiteral("/jdk-17/bin/JAVA"));
        QVERIFY(m_home->writeFile(QStringLiteral("unpacked/jdk-17/bin/java"), "x"));
        const QString found = JavaRuntimeStore::locateBinary(root);
        QVERIFY(found == root + QStringLiteral("/jdk-17/bin/java") ||
                found == root + QStringLiteral("/jdk-17/bin/JAVA"));
    }
};

QTEST_GUILESS_MAIN(TestJavaRuntime)
#include "tst_javaruntime.moc"
