#include "downloadstatus.h"

#include <QTest>

Q_DECLARE_METATYPE(DownloadStatus::Source)

namespace {
using Source = DownloadStatus::Source;

InstallerStatus running(const QString& label, bool busy)
{
    InstallerStatus status;
    status.busy = busy;
    status.label = busy ? label : QString();
    status.stage = busy ? label + " stage" : QString();
    status.bytesDone = busy ? label.size() : 0;
    return status;
}
} // namespace

class TestDownloadStatus : public QObject {
    Q_OBJECT

private slots:
    void oneSourceIsShownAndCancelled_data()
    {
        QTest::addColumn<bool>("version");
        QTest::addColumn<bool>("loader");
        QTest::addColumn<bool>("java");
        QTest::addColumn<bool>("pack");
        QTest::addColumn<Source>("shown");
        QTest::addColumn<Source>("cancelled");
        // version, loader, java, pack busy
        const QList<std::tuple<const char*, bool, bool, bool, bool, Source, Source>> rows{
            {"idle", false, false, false, false, Source::Version, Source::Pack},
            {"pack alone", false, false, false, true, Source::Pack, Source::Pack},
            {"java alone", false, false, true, false, Source::Java, Source::Java},
            {"java beside pack", false, false, true, true, Source::Java, Source::Java},
            {"loader alone", false, true, false, false, Source::Loader, Source::Loader},
            {"loader beside pack", false, true, false, true, Source::Loader, Source::Loader},
            {"loader beside java", false, true, true, false, Source::Loader, Source::Loader},
            {"version alone", true, false, false, false, Source::Version, Source::Version},
            {"version beside java", true, false, true, false, Source::Version, Source::Version},
            {"version beside pack", true, false, false, true, Source::Version, Source::Version},
            {"loader's base version", true, true, false, false, Source::Version, Source::Loader},
            {"all four", true, true, true, true, Source::Version, Source::Loader},
        };
        for (const auto& [name, version, loader, java, pack, shown, cancelled] : rows)
            QTest::newRow(name) << version << loader << java << pack << shown << cancelled;
    }

    void oneSourceIsShownAndCancelled()
    {
        QFETCH(bool, version);
        QFETCH(bool, loader);
        QFETCH(bool, java);
        QFETCH(bool, pack);
        QFETCH(Source, shown);
        QFETCH(Source, cancelled);
        const DownloadStatus status(running("version", version), running("loader", loader),
                                    running("java", java), running("pack", pack));
        const QString names[] = {"version", "loader", "java", "pack"};
        QCOMPARE(status.shownSource(), shown);
        QCOMPARE(status.cancelTarget(), cancelled);
        QCOMPARE(status.downloading(), version || loader || java || pack);
        const bool anyBusy = status.downloading();
        QCOMPARE(status.shown().label, anyBusy ? names[int(shown)] : QString());
        QCOMPARE(status.text(), anyBusy ? names[int(shown)] + " stage" : QString());
        QCOMPARE(status.shown().bytesDone, anyBusy ? names[int(shown)].size() : 0);
    }

    void statusTextJoinsStageAndDetail_data()
    {
        QTest::addColumn<QString>("stage");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<QString>("text");
        QTest::newRow("both") << "Downloading libraries"
                              << "guava-32.jar"
                              << "Downloading libraries — guava-32.jar";
        QTest::newRow("stage only") << "Checking files"
                                    << ""
                                    << "Checking files";
        QTest::newRow("detail only") << ""
                                     << "client.jar"
                                     << "client.jar";
        QTest::newRow("neither") << ""
                                 << ""
                                 << "";
        QTest::newRow("placeholders stay") << "Step %2"
                                           << "file %1"
                                           << "Step %2 — file %1";
    }

    void statusTextJoinsStageAndDetail()
    {
        QFETCH(QString, stage);
        QFETCH(QString, detail);
        QFETCH(QString, text);
        QCOMPARE(DownloadStatus::text(stage, detail), text);
    }
};

QTEST_GUILESS_MAIN(TestDownloadStatus)
#include "tst_downloadstatus.moc"
