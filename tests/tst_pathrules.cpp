#include "pathrules.h"

#include <QTest>

#include <functional>

namespace {

// Each rule by the letter the table below uses for it.
const QList<QPair<QChar, std::function<bool(const QString&)>>> kRules = {
    {'N', PathRules::isPlainFileName},
    {'V', PathRules::isVersionId},
    {'I', PathRules::isInstallableVersionId},
    {'F', PathRules::isGameFileName},
    {'G', PathRules::isGameFilePath},
    {'B', PathRules::isBuildArchivePath},
    {'P', PathRules::isPackPath},
    {'T', PathRules::isTarMemberPath},
    {'S', PathRules::isSeasonalId},
    {'M', PathRules::isSeasonalGameVersion},
};

} // namespace

class TestPathRules : public QObject {
    Q_OBJECT

private slots:
    // N plain file name, V version id, I installable version id, F game file name,
    // G game file path, B build archive entry, P pack entry, T tar member, S seasonal
    // entry id, M seasonal game version.
    void hostileNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("accepted");
        QTest::newRow("version") << "1.20.1"
                                 << "NVIFGBPTSM";
        QTest::newRow("three dots") << "..."
                                    << "NFGBPTM";
        QTest::newRow("hidden") << ".hidden"
                                << "NFGBPTM";
        QTest::newRow("upper case") << "Autumn-2024"
                                    << "NVIFGBPTM";
        QTest::newRow("leading dash") << "-x"
                                      << "NVIFGBPTM";
        QTest::newRow("trailing newline") << "autumn\n"
                                          << "NVIFGBPTM";
        QTest::newRow("64 characters") << QString(64, 'a') << "NVIFGBPTSM";
        QTest::newRow("65 characters") << QString(65, 'a') << "NVIFGBPTM";
        QTest::newRow("128 characters") << QString(128, '1') << "NVIFGBPTM";
        QTest::newRow("129 characters") << QString(129, '1') << "NVIFGBPT";
        QTest::newRow("colon") << "minecraft:overworld"
                               << "NVBT";
        QTest::newRow("backslash") << "a\\b"
                                   << "NBT";
        QTest::newRow("drive and backslash") << "C:\\x"
                                             << "NBT";
        QTest::newRow("drive") << "D:/x"
                               << "BT";
        QTest::newRow("nested") << "mods/a.jar"
                                << "GBPT";
        QTest::newRow("doubled slash") << "a//b"
                                       << "BPT";
        QTest::newRow("trailing slash") << "a/b/"
                                        << "BPT";
        QTest::newRow("current step") << "./a"
                                      << "T";
        QTest::newRow("current") << "."
                                 << "T";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("parent") << ".."
                                << "";
        QTest::newRow("leading parent") << "../x"
                                        << "";
        QTest::newRow("inner parent") << "mods/../x.jar"
                                      << "";
        QTest::newRow("absolute") << "/etc/x"
                                  << "";
        QTest::newRow("nul") << QString("x") + QChar(0) + "y"
                             << "";
    }

    void hostileNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, accepted);
        for (const auto& [letter, rule] : kRules)
            QVERIFY2(rule(name) == accepted.contains(letter),
                     qPrintable(QString("rule %1 on \"%2\"").arg(letter).arg(name)));
    }

    void archiveNamesFollowTheRule_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        QTest::newRow("punctuation") << "Modded: 1.20.1 (test)"
                                     << "Modded_1_20_1_test";
        QTest::newRow("only marks") << "!!!!"
                                    << "build";
        QTest::newRow("leading blanks") << "  __Alpha"
                                        << "Alpha";
        QTest::newRow("too long") << QString(60, 'x') << QString(48, 'x');
        QTest::newRow("cyrillic") << "Сборка 2"
                                  << "Сборка_2";
        QTest::newRow("outside the plane") << "A😀B"
                                           << "AB";
        QTest::newRow("no-break space") << QString("a") + QChar(0x00A0) + "b"
                                        << "a_b";
        QTest::newRow("trailing kept") << "end."
                                       << "end_";
        QTest::newRow("slashes dropped") << "../../etc"
                                         << "etc";
    }

    void archiveNamesFollowTheRule()
    {
        QFETCH(QString, name);
        QFETCH(QString, expected);
        QCOMPARE(PathRules::buildArchiveName(name), expected);
    }
};

QTEST_GUILESS_MAIN(TestPathRules)
#include "tst_pathrules.moc"
