// Renders the launcher's windows under a virtual display into PNG files, so
// the interface can be looked at without a desktop. Not a test: it prints the
// folder it wrote to, which holds one folder of pictures per language ("en",
// "ru"). The data directory is prepared with a few builds, a Microsoft profile
// and cached catalogs, so the dialogs show rows without any network; a second
// run has a long list of Java runtimes and a build whose Install is refused,
// for the settings dialog at its fullest and a toast over the builds dialog.
#include "appsession.h"
#include "testhelpers.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTextStream>

#include <functional>

namespace {

const QString kSeasonalBase = QStringLiteral("https://seasons.example");
// A window busy before it answers (the settings look for Java first) may take
// this long to change.
constexpr int kAnswerMs = 40000;

QByteArray json(const QJsonValue& value)
{
    return value.isArray() ? QJsonDocument(value.toArray()).toJson()
                           : QJsonDocument(value.toObject()).toJson();
}

QJsonObject manifestEntry(const QString& id, const QString& type, const QString& released)
{
    return {{"id", id},
            {"type", type},
            {"url", "https://piston-meta.example/" + id + ".json"},
            {"sha1", QString(40, QLatin1Char('0'))},
            {"releaseTime", released}};
}

QJsonObject seasonalEntry(const QString& id, const QString& name, const QString& loader,
                          const QString& loaderVersion, int revision, const QString& start,
                          const QString& end, const QString& description)
{
    return {{"id", id},
            {"name", name},
            {"revision", revision},
            {"minecraftVersion", "1.21.1"},
            {"loader", loader},
            {"loaderVersion", loaderVersion},
            {"modCount", 140 + revision},
            {"seasonStart", start},
            {"seasonEnd", end},
            {"serverUrl", "play.example:25565"},
            {"javaMajor", 21},
            {"description", description},
            {"archive", QJsonObject{{"url", kSeasonalBase + "/packs/" + id + ".zip"},
                                    {"size", 257638400},
                                    {"sha256", QString(64, QLatin1Char('a'))}}}};
}

QJsonObject javaEntry(const QString& id, const QString& kind, int major, const QString& version,
                      double size, bool lts)
{
    return {{"id", id},
            {"kind", kind},
            {"major", major},
            {"version", version},
            {"component", kind == "java" ? id : QString()},
            {"url", "https://runtimes.example/" + id + ".tar.gz"},
            {"size", size},
            {"archive", "tar.gz"},
            {"checksum", QString(64, QLatin1Char('0'))},
            {"architecture", "x64"},
            {"lts", lts}};
}

bool prepare(const AppSession& session, const QString& language)
{
    const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    const QJsonArray builds{
        QJsonObject{{"id", 1}, {"name", "Vanilla"}, {"minecraftVersion", "1.21.1"}},
        QJsonObject{{"id", 2},
                    {"name", "Autumn season"},
                    {"minecraftVersion", "1.21.1"},
                    {"loader", "fabric"},
                    {"loaderVersion", "0.16.5"},
                    {"seasonalId", "autumn"},
                    {"seasonalRevision", 2},
                    {"serverUrl", "play.example:25565"}},
        QJsonObject{{"id", 3}, {"name", "Old times"}, {"minecraftVersion", "b1.7.3"}}};
    QJsonArray versions;
    for (int minor = 21; minor >= 14; --minor)
        versions.append(manifestEntry(
            QStringLiteral("1.%1").arg(minor), "release",
            QStringLiteral("2024-%1-01T00:00:00+00:00").arg(minor - 9, 2, 10, QLatin1Char('0'))));
    versions.append(manifestEntry("1.21.1", "release", "2024-12-01T00:00:00+00:00"));
    versions.append(manifestEntry("24w14a", "snapshot", "2024-04-03T00:00:00+00:00"));
    const QJsonObject fabricList{
        {"fetchedAt", now},
        {"games",
         QJsonObject{
             {"1.21.1", QJsonObject{{"fetchedAt", now},
                                    {"entries", QJsonArray{QJsonObject{{"loaderVersion", "0.16.5"},
                                                                       {"gameVersion", "1.21.1"},
                                                                       {"recommended", true},
                                                                       {"stable", true}},
                                                           QJsonObject{{"loaderVersion", "0.16.4"},
                                                                       {"gameVersion", "1.21.1"},
                                                                       {"stable", true}}}}}}}}};
    const QJsonArray seasons{
        seasonalEntry("autumn", "Autumn season", "fabric", "0.16.5", 3, "2024-09-01", "",
                      "Falling leaves, harvest festivals and a new dungeon every week."),
        seasonalEntry("summer", "Summer season", "neoforge", "21.1.65", 1, "2024-06-01",
                      "2024-08-31", "Islands, boats and the great regatta."),
        seasonalEntry("spring", "Spring season", "", "", 2, "2024-03-01", "2024-05-31",
                      "Vanilla survival with friends.")};
    const QJsonArray profiles{QJsonObject{{"id", 1},
                                          {"name", "Alex"},
                                          {"login", ""},
                                          {"authType", "microsoft"},
                                          {"clientToken", "client-1"}}};
    const QJsonArray runtimes{javaEntry("java-runtime-delta", "java", 21, "21.0.3", 190e6, true),
                              javaEntry("java-runtime-gamma", "java", 17, "17.0.8", 180e6, true),
                              javaEntry("jre-legacy", "java", 8, "1.8.0_51", 120e6, false),
                              javaEntry("temurin-jdk-21", "jdk", 21, "21.0.5+11", 206e6, true),
                              javaEntry("temurin-jre-21", "jre", 21, "21.0.5+11", 52e6, true)};
    const QJsonObject javaCache{{"fetchedAt", now}, {"platform", "linux"}, {"entries", runtimes}};
    const QString gameDir = session.homeDir() + QStringLiteral("/.minecraft/versions/");
    return session.writeDataFile("settings.json",
                                 json(QJsonObject{{"language", language},
                                                  {"activeBuildId", 2},
                                                  {"seasonalBaseUrl", kSeasonalBase}})) &&
           session.writeDataFile("customBuilds.json", json(builds)) &&
           session.writeDataFile("profiles.json", json(profiles)) &&
           session.writeDataFile("cache/java_runtimes.json", json(javaCache)) &&
           session.writeDataFile("cache/version_manifest.json",
                                 json(QJsonObject{{"fetchedAt", now}, {"versions", versions}})) &&
           session.writeDataFile("cache/loader_fabric.json", json(fabricList)) &&
           session.writeDataFile("cache/seasonal_builds.json",
                                 json(QJsonObject{{"formatVersion", 1},
                                                  {"fetchedAt", now},
                                                  {"baseUrl", kSeasonalBase},
                                                  {"builds", seasons}})) &&
           TestHelpers::writeFile(gameDir + "1.21.1/1.21.1.json", "{}") &&
           TestHelpers::writeFile(gameDir + "1.20/1.20.json", "{}");
}

// A player who tried several versions: twelve runtimes in the game folder's
// runtime folder, each a stand-in that answers the version probe, beside the
// system's own; and a build without a game version, whose Install is refused.
bool prepareCrowded(const AppSession& session, const QString& language)
{
    const QByteArray probe = "#!/bin/sh\necho 'openjdk version \"17.0.9\" 2023-10-17' >&2\n";
    const QString runtimes = session.homeDir() + QStringLiteral("/.minecraft/runtime/");
    for (const char* component :
         {"java-runtime-alpha", "java-runtime-beta", "java-runtime-gamma",
          "java-runtime-gamma-snapshot", "java-runtime-delta", "jre-legacy"}) {
        for (const char* platform : {"linux", "linux-x64"}) {
            const QString java = runtimes + component + '/' + platform + '/' + component +
                                 QStringLiteral("/bin/java");
            if (!TestHelpers::writeFile(java, probe) ||
                !QFile::setPermissions(java, QFile::ReadOwner | QFile::WriteOwner |
                                                 QFile::ExeOwner | QFile::ReadOther |
                                                 QFile::ExeOther))
                return false;
        }
    }
    const QJsonArray builds{QJsonObject{{"id", 1}, {"name", "Fresh build"}}};
    return session.writeDataFile("settings.json",
                                 json(QJsonObject{{"language", language}, {"activeBuildId", 1}})) &&
           session.writeDataFile("customBuilds.json", json(builds));
}

// Each picture follows the pointer moves and clicks that open its window, in
// the window's coordinates, and then the keys pressed (xdotool's key names);
// Escape closes what the last one opened. A point with a negative x only moves
// the pointer there. A picture with a size has the window resized to it first;
// the window keeps that size for the pictures after it. It opens at 1280 × 720.
struct Shot {
    const char* file;
    QList<QPoint> clicks;
    int escapes;
    QSize size = {};
    QStringList keys = {};
};

using Preparation = bool (*)(const AppSession&, const QString&);
using Step = std::function<bool()>;

// What the player does for the shot, one step after another.
QList<Step> stepsOf(const AppSession& session, const QString& window, const Shot& shot)
{
    QList<Step> steps;
    for (const QPoint& click : shot.clicks) {
        if (click.x() < 0)
            steps.append([&session, window, click] {
                return session.xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"),
                                        window, QString::number(-click.x()),
                                        QString::number(click.y())});
            });
        else
            steps.append(
                [&session, window, click] { return session.click(window, click.x(), click.y()); });
    }
    for (const QString& key : shot.keys)
        steps.append([&session, key] { return session.key(key); });
    return steps;
}

// Takes the steps from the settled picture before. Each but the last is
// answered before the next, so a popup is up before a click in it; the last
// may change nothing of its own (the pointer moved off a button), so it waits
// for a picture other than before. The settled picture after them; null when
// a step failed.
QImage take(const AppSession& session, const QString& window, const QList<Step>& steps,
            const QImage& before)
{
    QImage picture = before;
    for (qsizetype i = 0; i + 1 < steps.size() && !picture.isNull(); ++i)
        picture = session.settledAfter(window, picture, steps.at(i), kAnswerMs);
    if (steps.isEmpty() || picture.isNull())
        return picture;
    return session.settledAfter(window, before, steps.last(), kAnswerMs);
}

// Starts the launcher in the language over a data directory made by prepare
// and takes the pictures in order. False, with the reason on err, when any
// step fails.
bool shoot(const QString& folder, const QString& language, Preparation prepare,
           const QList<Shot>& shots, QTextStream& err)
{
    AppSession session(QSize(1280, 720));
    QString error;
    if (!prepare(session, language)) {
        err << "cannot prepare the data directory" << Qt::endl;
        return false;
    }
    if (!session.start({}, QString(), &error)) {
        err << error << Qt::endl;
        return false;
    }
    const QString window = session.waitForWindow(QStringLiteral("Hollowmere"));
    if (window.isEmpty()) {
        err << "the main window did not show:\n" << session.output() << Qt::endl;
        return false;
    }
    const Step escape = [&session] { return session.key(QStringLiteral("Escape")); };
    QImage picture = session.settledScreenshot(window);
    for (const Shot& shot : shots) {
        if (shot.size.isValid())
            picture = take(session, window, {[&session, &window, &shot] {
                               return session.xdotool({QStringLiteral("windowsize"), window,
                                                       QString::number(shot.size.width()),
                                                       QString::number(shot.size.height())});
                           }},
                           picture);
        const QList<Step> steps = stepsOf(session, window, shot);
        // On a loaded machine a window just up may miss the first click: when
        // nothing has changed, the steps are taken once more.
        QImage shown = take(session, window, steps, picture);
        if (!steps.isEmpty() && shown == picture)
            shown = take(session, window, steps, picture);
        const QString file = QDir(folder).filePath(QString::fromLatin1(shot.file));
        if (shown.isNull() || !shown.save(file)) {
            err << "cannot take or write " << file << Qt::endl;
            return false;
        }
        picture = take(session, window, QList<Step>(shot.escapes, escape), shown);
    }
    session.stop();
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);

    QString folder;
    if (application.arguments().size() > 1) {
        folder = QDir(application.arguments().at(1)).absolutePath();
    } else {
        QTemporaryDir made(QDir::temp().filePath(QStringLiteral("hollowmere-screenshots-XXXXXX")));
        made.setAutoRemove(false);
        folder = made.path();
    }
    if (!QDir().mkpath(folder)) {
        err << "cannot create " << folder << Qt::endl;
        return 1;
    }

    const QStringList fourTabs{"Tab", "Tab", "Tab", "Tab"};
    const QList<Shot> shots{
        {"main-window.png", {}, 0},
        {"builds-dialog.png", {{716, 472}}, 0},
        {"version-picker.png", {{1000, 298}}, 2},
        {"seasonal-builds-dialog.png", {{1165, 675}, {228, 184}}, 1},
        {"settings-dialog.png", {{678, 518}}, 0},
        {"java-picker.png", {{600, 332}}, 2},
        {"launcher-versions-dialog.png", {{40, 23}}, 1},
        // The add-profile form with its Add button reached by Tab.
        {"focused-button.png", {{545, 472}, {545, 508}}, 1, {}, fourTabs},
        {"builds-dialog-800x600.png", {{476, 412}}, 1, QSize(800, 600)},
        {"seasonal-builds-dialog-800x600.png", {{684, 555}, {100, 125}}, 1},
        {"microsoft-sign-in.png",
         {{545, 472}, {-545, 544}, {572, 544}, {640, 400}},
         0,
         QSize(1280, 720)},
    };
    // Install in the builds dialog is refused for the build without a game
    // version; the pointer then moves off the button.
    const QList<Shot> crowdedShots{
        {"settings-dialog-long-java-list.png", {{678, 518}}, 1},
        {"toast-over-builds-dialog.png", {{716, 472}, {615, 630}, {-900, 200}}, 1},
    };
    for (const QString& language : {QStringLiteral("en"), QStringLiteral("ru")}) {
        const QString pictures = QDir(folder).filePath(language);
        if (!QDir().mkpath(pictures) || !shoot(pictures, language, prepare, shots, err) ||
            !shoot(pictures, language, prepareCrowded, crowdedShots, err))
            return 1;
    }
    out << folder << Qt::endl;
    return 0;
}
