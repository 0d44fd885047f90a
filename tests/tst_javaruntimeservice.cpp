#include "javaruntimeservice.h"
#include "launcherpaths.h"
#include "localization.h"
#include "remoteaddresses.h"
#include "temphome.h"
#include "testserver.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {
const QString kFeatureQuery =
    QStringLiteral("heap_size=normal&jvm_impl=hotspot&os=linux&page=0&page_size=3&project=jdk"
                   "&sort_method=DEFAULT&sort_order=DESC&vendor=eclipse");
const QString kReleasesPath = QStringLiteral("/v3/info/available_releases");

QString featurePath(int major)
{
    return QStringLiteral("/v3/assets/feature_releases/%1/ga").arg(major);
}

QString featureTarget(int major, const QString& architecture)
{
    return featurePath(major) + QStringLiteral("?architecture=") + architecture + QLatin1Char('&') +
           kFeatureQuery;
}

QString mojangIndexPath()
{
    return QUrl(RemoteAddresses::mojangRuntimeIndexUrl()).path();
}

QByteArray json(const QJsonValue& value)
{
    return value.isArray() ? QJsonDocument(value.toArray()).toJson()
                           : QJsonDocument(value.toObject()).toJson();
}

QJsonObject binary(const QString& imageType, const QString& architecture, const QString& name,
                   const QString& link = {})
{
    return QJsonObject{
        {"image_type", imageType},
        {"architecture", architecture},
        {"package", QJsonObject{{"link", link.isEmpty() ? "https://downloads.test/" + name : link},
                                {"name", name},
                                {"checksum", "ab12"},
                                {"size", 1234}}},
    };
}

QJsonObject release(int major, const QString& openjdkVersion, const QString& timestamp,
                    const QJsonArray& binaries, const QJsonObject& extraVersionData = {})
{
    QJsonObject versionData{{"major", major}, {"openjdk_version", openjdkVersion}};
    for (auto it = extraVersionData.begin(); it != extraVersionData.end(); ++it)
        versionData.insert(it.key(), it.value());
    return QJsonObject{{"release_name", "jdk-" + openjdkVersion},
                       {"timestamp", timestamp},
                       {"version_data", versionData},
                       {"binaries", binaries}};
}

QJsonObject mojangBuild(const QString& name, const QString& url = "https://meta.test/m.json")
{
    return QJsonObject{
        {"manifest", QJsonObject{{"url", url}, {"sha1", "0123abcd"}}},
        {"version", QJsonObject{{"name", name}, {"released", "2023-07-18T10:00:00+00:00"}}},
    };
}

QByteArray mojangIndex()
{
    const QJsonObject linuxBuilds{
        {"java-runtime-gamma", QJsonArray{mojangBuild("17.0.8"), mojangBuild("17.0.1")}},
        {"jre-legacy", QJsonArray{mojangBuild("8u51")}},
        {"minecraft-java-exe", QJsonArray{mojangBuild("1.0.0")}},
        {"java-runtime-delta", QJsonArray{mojangBuild("21.0.3", "http://meta.test/d.json")}},
        {"java-runtime-odd", QJsonArray{mojangBuild("v21.0")}},
        {"java-runtime-empty", QJsonArray{}},
    };
    const QJsonObject i386{{"jre-legacy", QJsonArray{mojangBuild("8u31")}}};
    return json(QJsonObject{{"linux", linuxBuilds}, {"linux-i386", i386}});
}

JavaRuntimeEntry entry(const QString& id, JavaRuntimeKind kind, int major, const QString& version,
                       const QString& released = {})
{
    JavaRuntimeEntry result;
    result.id = id;
    result.kind = kind;
    result.major = major;
    result.version = version;
    result.released = QDateTime::fromString(released, Qt::ISODate);
    result.url = QUrl("https://downloads.test/" + id);
    result.archive = QStringLiteral("tar.gz");
    return result;
}

QJsonObject cacheElement(const JavaRuntimeEntry& e)
{
    return QJsonObject{
        {"id", e.id},
        {"kind", javaKindKey(e.kind)},
        {"major", e.major},
        {"version", e.version},
        {"component", e.component},
        {"released", e.released.isValid() ? e.released.toString(Qt::ISODate) : QString()},
        {"url", e.url.toString()},
        {"checksum", e.checksum},
        {"size", double(e.size)},
        {"archive", e.archive},
        {"architecture", e.architecture},
        {"lts", e.lts},
    };
}

// A cache file as the service writes it; an invalid time leaves "fetchedAt" out.
void writeCache(const QJsonArray& elements, const QDateTime& fetchedAt,
                const QString& platform = QStringLiteral("linux"))
{
    QJsonObject root{{"platform", platform}, {"entries", elements}};
    if (fetchedAt.isValid())
        root.insert("fetchedAt", fetchedAt.toUTC().toString(Qt::ISODate));
    QVERIFY(LauncherPaths::ensureRootExists());
    QFile file(LauncherPaths::javaCatalogFile());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QJsonDocument(root).toJson(QJsonDocument::Compact));
}

QJsonArray sampleCache()
{
    return QJsonArray{cacheElement(entry("cached-jdk-17", JavaRuntimeKind::Jdk, 17, "17.0.1"))};
}

QDateTime secondsAgo(qint64 seconds)
{
    return QDateTime::currentDateTimeUtc().addSecs(-seconds);
}

QStringList ids(const QList<JavaRuntimeEntry>& list)
{
    QStringList result;
    for (const JavaRuntimeEntry& e : list)
        result.append(e.id);
    return result;
}

struct Answer {
    int calls = 0;
    bool ok = false;
    QString message;
};

JavaRuntimeService::Callback recorder(const std::shared_ptr<Answer>& answer)
{
    return [answer](bool ok, const QString& message) {
        ++answer->calls;
        answer->ok = ok;
        answer->message = message;
    };
}

// Asks once and waits for the answer.
std::shared_ptr<Answer> ask(JavaRuntimeService& service)
{
    auto answer = std::make_shared<Answer>();
    service.ensureLoaded(recorder(answer));
    if (!QTest::qWaitFor([&] { return answer->calls > 0; }, 5000))
        qWarning("no answer within 5 s");
    return answer;
}

// The message of a failed request starts with its text filled with an empty reason.
QString prefixOf(const char* key, const QString& first = {})
{
    const QString text = Loc::text(key);
    return first.isNull() ? text.arg(QString()) : text.arg(first, QString());
}
} // namespace

class TestJavaRuntimeService : public QObject {
    Q_OBJECT

private:
    TestServer m_server;
    std::unique_ptr<TempHome> m_home;

    void routeAdoptium()
    {
        m_server.route(kReleasesPath, TestReply::json(json(QJsonObject{
                                          {"available_lts_releases", QJsonArray{8, 17, 21}},
                                          {"available_releases", QJsonArray{8, 17, 21, 22, 0, -3}},
                                      })));
        m_server.route(featurePath(21),
                       TestReply::json(json(QJsonArray{release(
                           21, "21.0.2+13-LTS", "2024-01-16T12:00:00Z",
                           QJsonArray{binary("jdk", "x64", "OpenJDK21U-jdk_x64.tar.gz")})})));
        m_server.route(
            featurePath(17),
            TestReply::json(json(QJsonArray{
                release(17, "17.0.10+7-LTS", "2024-01-17T12:00:00Z",
                        QJsonArray{binary("jdk", "x64", "OpenJDK17U-jdk_x64.tar.gz"),
                                   binary("jre", "x64", "OpenJDK17U-jre_x64.tar.gz")}),
                release(17, "17.0.9+9-LTS", "2023-10-17T12:00:00Z",
                        QJsonArray{binary("jdk", "x64", "OpenJDK17U-jdk_x64_old.tar.gz")}),
            })));
        m_server.route(featurePath(8),
                       TestReply::json(json(QJsonArray{
                           release(8, "1.8.0_402-b06", "2024-01-20T12:00:00Z",
                                   QJsonArray{binary("jre", "x64", "OpenJDK8U-jre_x64.tar.gz")},
                                   QJsonObject{{"security", 402}})})));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(Localization::instance()->load());
        QVERIFY(m_server.isListening());
        RemoteAddresses::setAllOriginsForTesting(m_server.origin());
    }

    void cleanupTestCase() { RemoteAddresses::resetForTesting(); }

    void init()
    {
        m_home = std::make_unique<TempHome>();
        m_server.clearRoutes();
        m_server.clearLog();
        JavaRuntimeService::setCpuArchitectureForTesting(QStringLiteral("x86_64"));
    }

    void cleanup()
    {
        JavaRuntimeService::setCpuArchitectureForTesting(QString());
        m_home.reset();
    }

    void refreshAsksBothSources()
    {
        routeAdoptium();
        m_server.route(featurePath(22), TestReply::status(500, "overloaded"));
        m_server.route(mojangIndexPath(), TestReply::json(mojangIndex()));

        JavaRuntimeService service;
        QSignalSpy catalogSpy(&service, &JavaRuntimeService::catalogChanged);
        QSignalSpy refreshingSpy(&service, &JavaRuntimeService::refreshingChanged);
        auto answer = std::make_shared<Answer>();
        service.ensureLoaded(recorder(answer), false);
        QVERIFY(service.isRefreshing());
        QCOMPARE(refreshingSpy.size(), 1);
        QTRY_COMPARE(answer->calls, 1);

        QStringList targets;
        for (const TestRequest& request : m_server.requests())
            targets.append(request.target);
        targets.sort();
        QStringList expected = {kReleasesPath,
                                featureTarget(17, "x64"),
                                featureTarget(21, "x64"),
                                featureTarget(22, "x64"),
                                featureTarget(8, "x64"),
                                mojangIndexPath()};
        expected.sort();
        QCOMPARE(targets, expected);
        for (const TestRequest& request : m_server.requests())
            QCOMPARE(request.method, QStringLiteral("GET"));

        QVERIFY(answer->ok);
        QVERIFY2(answer->message.startsWith(prefixOf("java.error.buildsFetchFailed", "22")),
                 qPrintable(answer->message));
        QVERIFY(!answer->message.contains(QStringLiteral("; ")));
        QVERIFY(!service.isRefreshing());
        QCOMPARE(refreshingSpy.size(), 2);
        QCOMPARE(catalogSpy.size(), 1);

        QCOMPARE(ids(service.entries(JavaRuntimeKind::Jdk)),
                 (QStringList{"temurin-jdk-21.0.2_13-x64", "temurin-jdk-17.0.10_7-x64",
                              "temurin-jdk-17.0.9_9-x64"}));
        QCOMPARE(ids(service.entries(JavaRuntimeKind::Jre)),
                 (QStringList{"temurin-jre-17.0.10_7-x64", "temurin-jre-8u402-x64"}));
        QCOMPARE(ids(service.entries(JavaRuntimeKind::Java)),
                 (QStringList{"mojang-java-runtime-gamma", "mojang-jre-legacy"}));

        const std::optional<JavaRuntimeEntry> jdk17 = service.find("temurin-jdk-17.0.10_7-x64");
        QVERIFY(jdk17);
        QCOMPARE(jdk17->version, QStringLiteral("17.0.10+7"));
        QVERIFY(jdk17->lts);
        QCOMPARE(jdk17->archive, QStringLiteral("tar.gz"));
        QCOMPARE(jdk17->size, 1234);
        QCOMPARE(jdk17->released, QDateTime::fromString("2024-01-17T12:00:00Z", Qt::ISODate));
        QCOMPARE(service.bestFor(17)->id, QStringLiteral("temurin-jdk-17.0.10_7-x64"));
        QCOMPARE(service.bestFor(18)->id, QStringLiteral("temurin-jdk-21.0.2_13-x64"));
        QCOMPARE(service.bestFor(8)->id, QStringLiteral("mojang-jre-legacy"));
        QVERIFY(!service.bestFor(22));

        // The cache holds what arrived, stamped with this machine's platform.
        QFile cache(LauncherPaths::javaCatalogFile());
        QVERIFY(cache.open(QIODevice::ReadOnly));
        const QJsonObject root = QJsonDocument::fromJson(cache.readAll()).object();
        QCOMPARE(root.value("platform").toString(), QStringLiteral("linux"));
        QCOMPARE(root.value("entries").toArray().size(), 7);
        QVERIFY(root.value("fetchedAt").toString().endsWith(QLatin1Char('Z')));

        // A second service starts from that cache without asking anyone.
        m_server.clearLog();
        JavaRuntimeService restarted;
        const std::shared_ptr<Answer> again = ask(restarted);
        QCOMPARE(again->calls, 1);
        QVERIFY(again->ok);
        QCOMPARE(m_server.requestCount(), 0);
        QCOMPARE(ids(restarted.entries(JavaRuntimeKind::Jdk)),
                 ids(service.entries(JavaRuntimeKind::Jdk)));
        QCOMPARE(restarted.find("temurin-jdk-17.0.10_7-x64")->released, jdk17->released);
    }

    void arm64FallsBackToX64()
    {
        JavaRuntimeService::setCpuArchitectureForTesting(QStringLiteral("arm64"));
        m_server.route(kReleasesPath, TestReply::json(R"({"available_lts_releases":[17],
                                           "available_releases":[17,21,22]})"));
        const QByteArray x64Only = json(
            QJsonArray{release(17, "17.0.10+7", "2024-01-17T12:00:00Z",
                               QJsonArray{binary("jdk", "x64", "OpenJDK17U-jdk_x64.tar.gz")})});
        m_server.route(featureTarget(17, "aarch64"), TestReply::notFound());
        m_server.route(featureTarget(17, "x64"), TestReply::json(x64Only));
        // Answered, but with nothing usable for this machine: asked again for x64.
        m_server.route(featureTarget(21, "aarch64"), TestReply::json("[]"));
        m_server.route(featureTarget(21, "x64"), TestReply::notFound());
        m_server.route(featureTarget(22, "aarch64"),
                       TestReply::json(json(QJsonArray{release(
                           22, "22.0.1+8", "2024-04-17T12:00:00Z",
                           QJsonArray{binary("jdk", "aarch64", "OpenJDK22U-jdk_aarch64.zip")})})));
        m_server.route(mojangIndexPath(), TestReply::json("{}"));

        JavaRuntimeService service;
        const std::shared_ptr<Answer> answer = ask(service);
        QCOMPARE(answer->calls, 1);
        QCOMPARE(m_server.requestCount(), 7);
        QCOMPARE(m_server.requestCount(featureTarget(22, "x64")), 0);
        QVERIFY(answer->ok);
        QCOMPARE(answer->message, QString());
        QCOMPARE(ids(service.entries(JavaRuntimeKind::Jdk)),
                 (QStringList{"temurin-jdk-22.0.1_8-aarch64", "temurin-jdk-17.0.10_7-x64"}));
        QCOMPARE(service.find("temurin-jdk-17.0.10_7-x64")->architecture, QStringLiteral("x64"));
        QCOMPARE(service.find("temurin-jdk-22.0.1_8-aarch64")->archive, QStringLiteral("zip"));
    }

    void parsesAdoptiumReleases()
    {
        const QByteArray body = json(QJsonArray{
            release(8, "ignored", "2024-01-20T12:00:00Z",
                    QJsonArray{binary("jdk", "x64", "a.TAR.GZ"), binary("jre", "x64", "b.ZIP")}),
            release(17, "-LTS", "not a time",
                    QJsonArray{binary("jdk", "x64", "c.tar.gz"), binary("java", "x64", "d.tar.gz"),
                               binary("jdk", "x64", "e.gz"),
                               binary("jdk", "x64", "f.tar.gz", "http://downloads.test/f.tar.gz")},
                    QJsonObject{{"semver", "17.0.10+7"}}),
            release(21, "21.0.2+13-lts", "2024-01-16T12:00:00Z",
                    QJsonArray{binary("jre", "ppc64le", "g.tar.gz")}),
            release(0, "0", "2024-01-16T12:00:00Z", QJsonArray{binary("jdk", "x64", "h.tar.gz")}),
            QJsonObject{{"version_data", QJsonObject{{"major", 11}}},
                        {"binaries", QJsonArray{binary("jdk", "x64", "i.tar.gz")}}},
        });
        const QList<JavaRuntimeEntry> parsed = JavaRuntimeService::parseAdoptium(body, {8});
        QCOMPARE(ids(parsed),
                 (QStringList{"temurin-jdk-8u0-x64", "temurin-jre-8u0-x64",
                              "temurin-jdk-17.0.10_7-x64", "temurin-jre-21.0.2_13-lts-ppc64le"}));
        QCOMPARE(parsed.at(0).archive, QStringLiteral("tar.gz"));
        QCOMPARE(parsed.at(1).archive, QStringLiteral("zip"));
        QVERIFY(parsed.at(0).lts);
        QVERIFY(!parsed.at(2).lts);
        QVERIFY(!parsed.at(2).released.isValid());
        QCOMPARE(parsed.at(2).checksum, QStringLiteral("ab12"));
        QCOMPARE(parsed.at(3).architecture, QStringLiteral("ppc64le"));
        QCOMPARE(parsed.at(3).kind, JavaRuntimeKind::Jre);
        QVERIFY(parsed.at(3).component.isEmpty());

        QVERIFY(JavaRuntimeService::parseAdoptium("not json", {}).isEmpty());
        QVERIFY(JavaRuntimeService::parseAdoptium("{\"a\":1}", {}).isEmpty());
    }

    void parsesMojangIndex()
    {
        const QList<JavaRuntimeEntry> parsed = JavaRuntimeService::parseMojang(mojangIndex());
        QCOMPARE(ids(parsed), (QStringList{"mojang-java-runtime-gamma", "mojang-jre-legacy"}));
        const JavaRuntimeEntry& gamma = parsed.at(0);
        QCOMPARE(gamma.kind, JavaRuntimeKind::Java);
        QCOMPARE(gamma.major, 17);
        QCOMPARE(gamma.version, QStringLiteral("17.0.8"));
        QCOMPARE(gamma.component, QStringLiteral("java-runtime-gamma"));
        QCOMPARE(gamma.checksum, QStringLiteral("0123abcd"));
        QCOMPARE(gamma.archive, QStringLiteral("mojang"));
        QCOMPARE(gamma.architecture, QStringLiteral("x86_64"));
        QCOMPARE(gamma.size, 0);
        QVERIFY(!gamma.lts);
        QCOMPARE(parsed.at(1).major, 8);

        JavaRuntimeService::setCpuArchitectureForTesting(QStringLiteral("i386"));
        const QList<JavaRuntimeEntry> i386 = JavaRuntimeService::parseMojang(mojangIndex());
        QCOMPARE(i386.size(), 1);
        QCOMPARE(i386.at(0).version, QStringLiteral("8u31"));
        QCOMPARE(i386.at(0).architecture, QStringLiteral("i386"));

        QVERIFY(
            JavaRuntimeService::parseMojang(R"({"linux":{"minecraft-java-exe":[]}})").isEmpty());
        QVERIFY(JavaRuntimeService::parseMojang("[]").isEmpty());
    }

    void ordersCatalogAndPicksBest()
    {
        JavaRuntimeEntry mojang17 = entry("java-17", JavaRuntimeKind::Java, 17, "17.0.8");
        mojang17.component = "java-runtime-gamma";
        const QJsonArray elements{
            cacheElement(
                entry("jre-17", JavaRuntimeKind::Jre, 17, "17.0.9", "2023-10-17T00:00:00Z")),
            cacheElement(entry("jdk-17-undated", JavaRuntimeKind::Jdk, 17, "17.0.99")),
            cacheElement(
                entry("jdk-21", JavaRuntimeKind::Jdk, 21, "21.0.1", "2023-10-17T00:00:00Z")),
            cacheElement(mojang17),
            cacheElement(
                entry("jdk-17-old", JavaRuntimeKind::Jdk, 17, "17.0.2", "2022-01-18T00:00:00Z")),
            cacheElement(
                entry("jdk-17-new", JavaRuntimeKind::Jdk, 17, "17.0.9", "2023-10-17T00:00:00Z")),
            cacheElement(
                entry("jdk-17-same", JavaRuntimeKind::Jdk, 17, "17.0.10", "2023-10-17T00:00:00Z")),
            cacheElement(entry("dup", JavaRuntimeKind::Jre, 11, "11.0.1")),
            cacheElement(entry("dup", JavaRuntimeKind::Jre, 11, "11.0.2")),
        };
        writeCache(elements, secondsAgo(10));

        JavaRuntimeService service;
        QVERIFY(!service.bestFor(17));
        QVERIFY(service.entries(JavaRuntimeKind::Jdk).isEmpty());
        const std::shared_ptr<Answer> answer = ask(service);
        QCOMPARE(answer->calls, 1);

        QCOMPARE(
            ids(service.entries(JavaRuntimeKind::Jdk)),
            (QStringList{"jdk-21", "jdk-17-new", "jdk-17-same", "jdk-17-old", "jdk-17-undated"}));
        QCOMPARE(ids(service.entries(JavaRuntimeKind::Jre)), (QStringList{"jre-17", "dup", "dup"}));
        QCOMPARE(service.find("dup")->version, QStringLiteral("11.0.1"));
        QCOMPARE(service.find("java-17")->component, QStringLiteral("java-runtime-gamma"));
        QVERIFY(!service.find("DUP"));

        // Equal dates fall to the version text; an undated entry competes by text alone.
        QCOMPARE(service.bestFor(17)->id, QStringLiteral("jdk-17-undated"));
        QCOMPARE(service.bestFor(12)->id, QStringLiteral("jdk-17-undated"));
        QCOMPARE(service.bestFor(11)->id, QStringLiteral("dup"));
        QCOMPARE(service.bestFor(18)->id, QStringLiteral("jdk-21"));
        QVERIFY(!service.bestFor(22));
        QVERIFY(!service.bestFor(0));
        QVERIFY(!service.bestFor(-1));
        QCOMPARE(m_server.requestCount(), 0);
    }

    void bestForRanksKinds()
    {
        writeCache(
            QJsonArray{
                cacheElement(entry("jre", JavaRuntimeKind::Jre, 17, "17.0.9")),
                cacheElement(entry("java", JavaRuntimeKind::Java, 17, "17.0.8")),
                cacheElement(entry("jdk-21", JavaRuntimeKind::Jdk, 21, "21")),
            },
            secondsAgo(10));
        JavaRuntimeService service;
        service.ensureLoaded({});
        QCOMPARE(service.bestFor(17)->id, QStringLiteral("java"));
    }

    void readsOnlyUsableCache()
    {
        QJsonObject upperKind = cacheElement(entry("upper", JavaRuntimeKind::Jdk, 17, "17"));
        upperKind.insert("kind", "JDK");
        JavaRuntimeEntry plain = entry("plain", JavaRuntimeKind::Jdk, 17, "17");
        plain.url = QUrl("http://downloads.test/plain");
        const QJsonArray elements{
            upperKind,
            cacheElement(plain),
            cacheElement(entry("zero", JavaRuntimeKind::Jdk, 0, "0")),
            cacheElement(entry("", JavaRuntimeKind::Jdk, 17, "17")),
            cacheElement(entry("kept", JavaRuntimeKind::Jre, 17, "17")),
        };

        // Written on a 32-bit machine: not ours.
        writeCache(elements, secondsAgo(10), QStringLiteral("linux-i386"));
        {
            JavaRuntimeService service;
            QSignalSpy catalogSpy(&service, &JavaRuntimeService::catalogChanged);
            service.ensureLoaded({});
            QCOMPARE(catalogSpy.size(), 0);
            QVERIFY(service.isRefreshing());
            QTRY_VERIFY(!service.isRefreshing());
        }
        JavaRuntimeService::setCpuArchitectureForTesting(QStringLiteral("i386"));
        {
            m_server.clearLog();
            JavaRuntimeService service;
            QSignalSpy catalogSpy(&service, &JavaRuntimeService::catalogChanged);
            auto answer = std::make_shared<Answer>();
            service.ensureLoaded(recorder(answer));
            QCOMPARE(catalogSpy.size(), 1);
            QCOMPARE(ids(service.entries(JavaRuntimeKind::Jre)), QStringList{"kept"});
            QVERIFY(service.entries(JavaRuntimeKind::Jdk).isEmpty());
            QTRY_COMPARE(answer->calls, 1);
            QCOMPARE(m_server.requestCount(), 0);
        }
        // Another 64-bit architecture shares the platform key.
        JavaRuntimeService::setCpuArchitectureForTesting(QStringLiteral("arm64"));
        writeCache(elements, secondsAgo(10));
        {
            JavaRuntimeService service;
            service.ensureLoaded({});
            QVERIFY(service.find("kept"));
            QVERIFY(!service.isRefreshing());
        }
    }

    void freshnessLastsADay_data()
    {
        QTest::addColumn<qint64>("age");
        QTest::addColumn<bool>("withTime");
        QTest::addColumn<bool>("fresh");
        QTest::newRow("just under a day") << qint64(86395) << true << true;
        QTest::newRow("one day") << qint64(86400) << true << false;
        QTest::newRow("in the future") << qint64(-3600) << true << true;
        QTest::newRow("no fetch time") << qint64(0) << false << false;
    }

    void freshnessLastsADay()
    {
        QFETCH(qint64, age);
        QFETCH(bool, withTime);
        QFETCH(bool, fresh);
        writeCache(sampleCache(), withTime ? secondsAgo(age) : QDateTime());

        JavaRuntimeService service;
        QSignalSpy catalogSpy(&service, &JavaRuntimeService::catalogChanged);
        auto answer = std::make_shared<Answer>();
        service.ensureLoaded(recorder(answer));
        // The cache is announced at once; the answer never comes before the call returns.
        QCOMPARE(catalogSpy.size(), 1);
        QCOMPARE(answer->calls, 0);
        QCOMPARE(service.isRefreshing(), !fresh);
        QTRY_COMPARE(answer->calls, 1);
        QVERIFY(answer->ok);
        if (fresh) {
            QCOMPARE(answer->message, QString());
            QCOMPARE(m_server.requestCount(), 0);
            return;
        }
        // Nothing answers: the cached catalog stays and both failures are told.
        QCOMPARE(m_server.requestCount(), 2);
        QCOMPARE(answer->message.count(QStringLiteral("; ")), 1);
        QVERIFY(service.find("cached-jdk-17"));
    }

    void emptyCallbackWithFreshCatalogDoesNothing()
    {
        writeCache(sampleCache(), secondsAgo(10));
        JavaRuntimeService service;
        service.ensureLoaded({});
        QTest::qWait(50);
        QCOMPARE(m_server.requestCount(), 0);
        QVERIFY(!service.isRefreshing());
    }

    void forcedRefreshJoinsRunningOne()
    {
        writeCache(sampleCache(), secondsAgo(10));
        m_server.route(kReleasesPath,
                       TestReply::json(R"({"available_releases":[21]})").delayed(200));
        m_server.route(featurePath(21),
                       TestReply::json(json(QJsonArray{release(
                           21, "21.0.2+13", "2024-01-16T12:00:00Z",
                           QJsonArray{binary("jdk", "x64", "OpenJDK21U-jdk_x64.tar.gz")})})));
        m_server.route(mojangIndexPath(), TestReply::json("{}"));

        JavaRuntimeService service;
        QList<int> order;
        auto third = std::make_shared<Answer>();
        service.ensureLoaded(
            [&](bool ok, const QString&) {
                QVERIFY(ok);
                order.append(1);
                // Asking again from a callback works: the catalog is fresh by now.
                service.ensureLoaded(recorder(third));
                QVERIFY(!service.isRefreshing());
            },
            true);
        QVERIFY(service.isRefreshing());
        service.ensureLoaded([&](bool, const QString&) { order.append(2); }, true);
        service.ensureLoaded([&](bool, const QString&) { order.append(3); }, false);
        QTRY_COMPARE(order.size(), 3);
        // The fresh catalog answers the unforced call without waiting for the refresh.
        QCOMPARE(order, (QList<int>{3, 1, 2}));
        QCOMPARE(m_server.requestCount(kReleasesPath), 1);
        QCOMPARE(m_server.requestCount(mojangIndexPath()), 1);
        QCOMPARE(ids(service.entries(JavaRuntimeKind::Jdk)),
                 QStringList{"temurin-jdk-21.0.2_13-x64"});
        QTRY_COMPARE(third->calls, 1);
        QCOMPARE(m_server.requestCount(kReleasesPath), 1);
    }

    void failuresAreJoinedInOrder()
    {
        m_server.route(kReleasesPath, TestReply::status(500));
        m_server.route(mojangIndexPath(), TestReply::status(503).delayed(300));

        std::shared_ptr<Answer> answer;
        {
            JavaRuntimeService service;
            answer = ask(service);
            QCOMPARE(answer->calls, 1);
        }
        QVERIFY(!answer->ok);
        QStringList parts = answer->message.split(QStringLiteral("; "));
        QCOMPARE(parts.size(), 2);
        QVERIFY2(parts.at(0).startsWith(prefixOf("java.error.versionsFetchFailed")),
                 qPrintable(answer->message));
        QVERIFY2(parts.at(1).startsWith(prefixOf("java.error.mojangRuntimesFailed")),
                 qPrintable(answer->message));
        QVERIFY(!QFile::exists(LauncherPaths::javaCatalogFile()));

        // With a stale cache the catalog stays, and so does the file.
        writeCache(sampleCache(), secondsAgo(90000));
        QFile cache(LauncherPaths::javaCatalogFile());
        QVERIFY(cache.open(QIODevice::ReadOnly));
        const QByteArray before = cache.readAll();
        cache.close();
        JavaRuntimeService service;
        answer = ask(service);
        QCOMPARE(answer->calls, 1);
        QVERIFY(answer->ok);
        QCOMPARE(answer->message.split(QStringLiteral("; ")).size(), 2);
        QVERIFY(service.find("cached-jdk-17"));
        QVERIFY(cache.open(QIODevice::ReadOnly));
        QCOMPARE(cache.readAll(), before);
    }

    void unparsableVersionList()
    {
        m_server.route(kReleasesPath, TestReply::json(R"({"available_releases":[0]})"));
        m_server.route(mojangIndexPath(), TestReply::json(mojangIndex()));
        JavaRuntimeService service;
        const std::shared_ptr<Answer> answer = ask(service);
        QCOMPARE(answer->calls, 1);
        QVERIFY(answer->ok);
        QCOMPARE(answer->message, Loc::text("java.error.versionsUnparsable"));
        QCOMPARE(m_server.requestCount(), 2);
        QCOMPARE(service.entries(JavaRuntimeKind::Java).size(), 2);
    }

    void mojangFailureLeavesTemurinOnly()
    {
        writeCache(QJsonArray{cacheElement(entry("mojang-old", JavaRuntimeKind::Java, 17, "17"))},
                   secondsAgo(90000));
        routeAdoptium();
        m_server.route(mojangIndexPath(), TestReply::status(500));
        JavaRuntimeService service;
        const std::shared_ptr<Answer> answer = ask(service);
        QCOMPARE(answer->calls, 1);
        QVERIFY(answer->ok);
        QVERIFY(answer->message.startsWith(prefixOf("java.error.mojangRuntimesFailed")));
        QVERIFY(service.entries(JavaRuntimeKind::Java).isEmpty());
        QCOMPARE(service.entries(JavaRuntimeKind::Jdk).size(), 3);
    }

    void nothingUsableArrives()
    {
        m_server.route(kReleasesPath, TestReply::json(R"({"available_releases":[17,21]})"));
        m_server.route(mojangIndexPath(), TestReply::json(R"({"linux":{}})"));
        {
            JavaRuntimeService service;
            const std::shared_ptr<Answer> answer = ask(service);
            QCOMPARE(answer->calls, 1);
            QVERIFY(!answer->ok);
            QCOMPARE(answer->message, QString());
            QCOMPARE(m_server.requestCount(), 4);
        }
        writeCache(sampleCache(), secondsAgo(90000));
        JavaRuntimeService service;
        QSignalSpy catalogSpy(&service, &JavaRuntimeService::catalogChanged);
        const std::shared_ptr<Answer> answer = ask(service);
        QCOMPARE(answer->calls, 1);
        QVERIFY(answer->ok);
        QCOMPARE(answer->message, Loc::text("java.status.catalogFromCache"));
        QCOMPARE(catalogSpy.size(), 1);
        // Still stale: the next call refreshes again.
        service.ensureLoaded({});
        QVERIFY(service.isRefreshing());
        QTRY_VERIFY(!service.isRefreshing());
    }
};

QTEST_GUILESS_MAIN(TestJavaRuntimeService)
#include "tst_javaruntimeservice.moc"
