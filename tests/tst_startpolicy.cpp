#include "startpolicy.h"
#include "testhelpers.h"

#include <QTest>

Q_DECLARE_METATYPE(StartPolicy::Request)

namespace {
using Request = StartPolicy::Request;
using Work = StartPolicy::Work;

const StartPolicy::Names kNames{"Fabric 0.15.7", "1.20.4", "temurin-jdk-21", "Temurin 21.0.2"};

QString refusalWhile(Request request, unsigned running)
{
    return StartPolicy::refusal(
        request, [running](Work work) { return (running & work) != 0; }, kNames);
}
} // namespace

class TestStartPolicy : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(TestHelpers::loadEnglishCatalog()); }

    // Each request's rules in their order: with several things running, the first rule
    // that matches speaks; work a request may run beside refuses nothing.
    void firstMatchingRuleRefuses_data()
    {
        QTest::addColumn<Request>("request");
        QTest::addColumn<unsigned>("running");
        QTest::addColumn<QString>("refusal");
        const QString busy = "Wait for the current operation to finish";
        const QString closeGame = "Close the game first";
        const QString filesMoving = "Game files are being moved, close the game first";
        const QString switching = "A build switch is in progress — wait for it to finish";
        const QString unfinished =
            "The previous build switch did not finish — select the build again first";
        using S = StartPolicy;
        const QList<std::tuple<const char*, Request, unsigned, QString>> rows{
            {"launch, nothing runs", Request::Launch, 0, ""},
            {"launch beside a pack download", Request::Launch,
             S::PackDownload | S::TargetInstalling, ""},
            {"launch, loader first", Request::Launch,
             S::LoaderInstall | S::VersionInstall | S::JavaInstall | S::Switch | S::Game,
             "\"Fabric 0.15.7\" is being installed — wait for it to finish"},
            {"launch, version", Request::Launch, S::VersionInstall | S::JavaInstall,
             "Version \"1.20.4\" is downloading — wait for it to finish"},
            {"launch, java by id", Request::Launch, S::JavaInstall | S::Switch,
             "Java \"temurin-jdk-21\" is being installed — wait for it to finish"},
            {"launch, switch", Request::Launch, S::Switch | S::SwitchUnfinished, switching},
            {"launch, unfinished switch", Request::Launch, S::SwitchUnfinished | S::Launch,
             unfinished},
            {"launch, sign-in window", Request::Launch, S::MicrosoftLogin | S::Game,
             "A launch is already in progress"},
            {"launch, seasonal install", Request::Launch, S::SeasonalInstall,
             "A launch is already in progress"},
            {"launch, game", Request::Launch, S::Game, "The game is already running"},
            {"resume beside its own launch", Request::ResumeLaunch,
             S::Launch | S::Game | S::LoaderInstall, ""},
            {"resume, switch", Request::ResumeLaunch, S::Switch | S::SwitchUnfinished, switching},
            {"resume, unfinished switch", Request::ResumeLaunch, S::SwitchUnfinished, unfinished},
            {"switch, switch", Request::SwitchBuild, S::Switch | S::Game,
             "A build switch is already running"},
            {"switch, game", Request::SwitchBuild, S::Game | S::VersionInstall, filesMoving},
            {"switch, loader", Request::SwitchBuild, S::LoaderInstall, busy},
            {"switch beside java and pack", Request::SwitchBuild,
             S::JavaInstall | S::PackDownload | S::SwitchUnfinished, ""},
            {"remove build, files busy", Request::RemoveBuild, S::Game | S::MicrosoftLogin, busy},
            {"remove build, game", Request::RemoveBuild, S::Game | S::JavaInstall, closeGame},
            {"remove build beside java and pack", Request::RemoveBuild,
             S::JavaInstall | S::PackDownload, ""},
            {"remove version being installed", Request::RemoveVersion,
             S::TargetInstalling | S::Switch, "This version is being downloaded right now"},
            {"remove version, launch", Request::RemoveVersion, S::Launch | S::Game, busy},
            {"remove version, game", Request::RemoveVersion, S::Game, closeGame},
            {"remove version beside java", Request::RemoveVersion, S::JavaInstall, ""},
            {"install java, java by label", Request::InstallJava, S::JavaInstall | S::Switch,
             "Java \"Temurin 21.0.2\" is being installed — wait for it to finish"},
            {"install java, seasonal install", Request::InstallJava, S::SeasonalInstall, busy},
            {"install java beside launch and game", Request::InstallJava,
             S::Launch | S::MicrosoftLogin | S::Game | S::PackDownload, ""},
            {"remove java being installed", Request::RemoveJava, S::TargetInstalling | S::Game,
             "This Java build is being downloaded right now"},
            {"remove java, loader", Request::RemoveJava, S::LoaderInstall, busy},
            {"remove java, launch", Request::RemoveJava, S::Launch, busy},
            {"remove java, game", Request::RemoveJava, S::Game | S::MicrosoftLogin, closeGame},
            {"remove java beside switch and version", Request::RemoveJava,
             S::MicrosoftLogin | S::Switch | S::VersionInstall, ""},
            {"install build, pack", Request::InstallBuild, S::PackDownload,
             "Wait for the current download to finish"},
            {"install build beside game", Request::InstallBuild, S::Game | S::SwitchUnfinished, ""},
            {"seasonal, seasonal", Request::InstallSeasonal, S::SeasonalInstall | S::Game,
             "A build installation is already running"},
            {"seasonal, game", Request::InstallSeasonal, S::Game | S::Launch, filesMoving},
            {"seasonal, pack", Request::InstallSeasonal, S::PackDownload, busy},
            {"seasonal beside unfinished switch", Request::InstallSeasonal, S::SwitchUnfinished,
             ""},
        };
        for (const auto& [name, request, running, refusal] : rows)
            QTest::newRow(name) << request << running << refusal;
    }

    void firstMatchingRuleRefuses()
    {
        QFETCH(Request, request);
        QFETCH(unsigned, running);
        QFETCH(QString, refusal);
        QCOMPARE(refusalWhile(request, running), refusal);
    }

    // Whether a switch broke off is read from the disk: it is asked only when nothing
    // before it refuses.
    void workIsAskedOnlyUntilOneRefuses()
    {
        QList<Work> asked;
        const auto running = [&asked](Work work) {
            asked.append(work);
            return work == StartPolicy::Switch;
        };
        QVERIFY(!StartPolicy::refusal(Request::Launch, running, kNames).isEmpty());
        QCOMPARE(asked, (QList<Work>{StartPolicy::LoaderInstall, StartPolicy::VersionInstall,
                                     StartPolicy::JavaInstall, StartPolicy::Switch}));
    }
};

QTEST_GUILESS_MAIN(TestStartPolicy)
#include "tst_startpolicy.moc"
