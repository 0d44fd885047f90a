#include "localization.h"
#include "temphome.h"
#include "testhelpers.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QTest>

#include <functional>

namespace {

const QByteArray kSmallCatalog = R"({
  "_meta": {"languages": ["ru", "en"], "displayNames": {"ru": "Русский", "en": "English"}},
  "strings": {
    "common.button.cancel": {"ru": "Отмена", "en": "Cancel"},
    "storage.error.notWritable": {"ru": "нет доступа на запись в %1", "en": "no write access to %1"},
    "profile.authTypes": {"ru": ["Офлайн", "Сервис", "Microsoft"], "en": ["Offline", "Service", "Microsoft"]},
    "only.russian.text": {"ru": "только русский"},
    "plain.string.entry": "not an object",
    "settings.language.system": {"ru": "Как в системе", "en": "Same as system"}
  }
})";

QString writeCatalog(const QTemporaryDir& dir, const QByteArray& content)
{
    const QString path = dir.filePath(QStringLiteral("catalog.json"));
    TestHelpers::writeFile(path, content);
    return path;
}

QSet<QString> placeholders(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral("%(\\d+)"));
    QSet<QString> found;
    for (auto it = pattern.globalMatch(text); it.hasNext();)
        found.insert(it.next().captured(0));
    return found;
}

QJsonObject shippedCatalog()
{
    return TestHelpers::readJson(QStringLiteral(":/qt/qml/Hollowmere/i18n/translations.json"))
        .object();
}

struct KeyUses {
    int count = 0;
    QStringList missing; // "file: key" for each key the shipped catalog lacks
};

// Finds the catalog keys that the files below a folder name through a pattern.
KeyUses keysUsedIn(const QString& folder, const QStringList& nameFilters,
                   const QRegularExpression& pattern,
                   const std::function<QString(const QRegularExpressionMatch&)>& keyOf)
{
    const QJsonObject strings = shippedCatalog().value("strings").toObject();
    KeyUses uses;
    QDirIterator files(folder, nameFilters, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        if (!file.open(QIODevice::ReadOnly)) {
            uses.missing.append(file.fileName() + ": unreadable");
            continue;
        }
        const QString source = QString::fromUtf8(file.readAll());
        for (auto it = pattern.globalMatch(source); it.hasNext();) {
            const QString key = keyOf(it.next());
            ++uses.count;
            if (!strings.contains(key))
                uses.missing.append(QFileInfo(file.fileName()).fileName() + ": " + key);
        }
    }
    return uses;
}

} // namespace

class TestLocalization : public QObject {
    Q_OBJECT

private slots:
    void lookupsBeforeLoadReturnTheKey()
    {
        Localization catalog;
        QCOMPARE(catalog.textFor("common.button.cancel"), QStringLiteral("common.button.cancel"));
        QCOMPARE(catalog.listFor("profile.authTypes"),
                 QStringList{QStringLiteral("profile.authTypes")});
        QCOMPARE(catalog.textFor(nullptr), QString());
    }

    void brokenCatalogsFailWithTheirMessage_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("message");
        QTest::newRow("corrupt") << QByteArray("{\"_meta\": ") << QString();
        QTest::newRow("not an object")
            << QByteArray("[1, 2]")
            << QStringLiteral("Каталог переводов должен быть объектом JSON");
        QTest::newRow("no languages")
            << QByteArray(R"({"_meta": {"languages": []}, "strings": {"a.b": {}}})")
            << QStringLiteral("В каталоге переводов не перечислен ни один язык (_meta.languages)");
        QTest::newRow("no meta")
            << QByteArray(R"({"strings": {"a.b": {}}})")
            << QStringLiteral("В каталоге переводов не перечислен ни один язык (_meta.languages)");
        QTest::newRow("no strings")
            << QByteArray(R"({"_meta": {"languages": ["ru"]}, "strings": {}})")
            << QStringLiteral("В каталоге переводов нет ни одной строки (strings)");
    }

    void brokenCatalogsFailWithTheirMessage()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, message);
        TempHome home;
        QTemporaryDir dir;
        const QString path = writeCatalog(dir, content);
        if (message.isEmpty())
            QTest::ignoreMessage(QtCriticalMsg,
                                 QRegularExpression(QStringLiteral(
                                     "^Каталог переводов испорчен: .+ \\(смещение \\d+\\)$")));
        else
            QTest::ignoreMessage(QtCriticalMsg, message.toUtf8().constData());
        Localization catalog;
        QVERIFY(!catalog.load(path));
    }

    void missingCatalogFails()
    {
        TempHome home;
        QTest::ignoreMessage(QtCriticalMsg,
                             "Каталог переводов не найден: /nonexistent/catalog.json");
        Localization catalog;
        QVERIFY(!catalog.load(QStringLiteral("/nonexistent/catalog.json")));
    }

    void savedLanguage_data()
    {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("warning");
        QTest::newRow("english") << QByteArray(R"({"language":"en"})") << "en" << QString();
        QTest::newRow("russian") << QByteArray(R"({"language":"ru"})") << "ru" << QString();
        QTest::newRow("unknown") << QByteArray(R"({"language":"de"})") << "system"
                                 << QStringLiteral(
                                        "Неизвестный язык в настройках: de — берём системный");
        QTest::newRow("empty") << QByteArray(R"({"language":""})") << "system"
                               << QStringLiteral(
                                      "Неизвестный язык в настройках:  — берём системный");
        QTest::newRow("case differs")
            << QByteArray(R"({"language":"EN"})") << "system"
            << QStringLiteral("Неизвестный язык в настройках: EN — берём системный");
        QTest::newRow("number") << QByteArray(R"({"language":1})") << "system" << QString();
        QTest::newRow("not json") << QByteArray("garbage") << "system" << QString();
        QTest::newRow("no file") << QByteArray() << "system" << QString();
    }

    void savedLanguage()
    {
        QFETCH(QByteArray, settings);
        QFETCH(QString, language);
        QFETCH(QString, warning);
        TempHome home;
        if (!settings.isEmpty())
            QVERIFY(home.writeFile(QStringLiteral("Hollowmere/settings.json"), settings));
        if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, warning.toUtf8().constData());
        QTemporaryDir dir;
        Localization catalog;
        QVERIFY(catalog.load(writeCatalog(dir, kSmallCatalog)));
        QCOMPARE(catalog.language(), language);
    }

    void lookupsFollowTheCatalog()
    {
        TempHome home;
        QVERIFY(home.writeFile(QStringLiteral("Hollowmere/settings.json"), R"({"language":"en"})"));
        QTemporaryDir dir;
        Localization catalog;
        QVERIFY(catalog.load(writeCatalog(dir, kSmallCatalog)));
        QCOMPARE(catalog.textFor("storage.error.notWritable").arg("/x"),
                 QStringLiteral("no write access to /x"));
        QCOMPARE(catalog.textFor("absent.key.here"), QStringLiteral("absent.key.here"));
        // A list entry is no text, and a text entry is no list.
        QCOMPARE(catalog.textFor("profile.authTypes"), QStringLiteral("profile.authTypes"));
        QCOMPARE(catalog.listFor("profile.authTypes"),
                 (QStringList{"Offline", "Service", "Microsoft"}));
        QCOMPARE(catalog.listFor("common.button.cancel"), QStringList{"common.button.cancel"});
        QCOMPARE(catalog.textFor("only.russian.text"), QString());
        QCOMPARE(catalog.textFor("plain.string.entry"), QString());
    }

    void resolvedLanguageMissingFromCatalog()
    {
        TempHome home;
        QVERIFY(home.writeFile(QStringLiteral("Hollowmere/settings.json"), R"({"language":"ru"})"));
        QTemporaryDir dir;
        Localization catalog;
        QVERIFY(catalog.load(writeCatalog(dir, R"({"_meta": {"languages": ["ru"]},
            "strings": {"a.b": {"ru": "текст"}, "c.d": {"ru": ["x"]}}})")));
        QCOMPARE(catalog.textFor("a.b"), QStringLiteral("текст"));
        // "system" resolves to a language the catalog may lack.
        catalog.setLanguage(QStringLiteral("system"));
        if (catalog.resolvedLanguage() != QStringLiteral("ru")) {
            QCOMPARE(catalog.textFor("a.b"), QString());
            QCOMPARE(catalog.listFor("c.d"), QStringList());
        }
    }

    void availableLanguages()
    {
        TempHome home;
        QVERIFY(home.writeFile(QStringLiteral("Hollowmere/settings.json"), R"({"language":"en"})"));
        QTemporaryDir dir;
        Localization catalog;
        QVERIFY(catalog.load(writeCatalog(dir, kSmallCatalog)));
        const QVariantList rows = catalog.availableLanguages();
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows.at(0).toMap().value("code").toString(), QStringLiteral("system"));
        QCOMPARE(rows.at(0).toMap().value("name").toString(), QStringLiteral("Same as system"));
        QCOMPARE(rows.at(1).toMap().value("name").toString(), QStringLiteral("Русский"));
        QCOMPARE(rows.at(2).toMap().value("name").toString(), QStringLiteral("English"));

        Localization bare;
        QVERIFY(bare.load(writeCatalog(
            dir, R"({"_meta": {"languages": ["ru", "en"]}, "strings": {"a.b": {}}})")));
        QCOMPARE(bare.availableLanguages().at(2).toMap().value("name").toString(),
                 QStringLiteral("en"));
    }

    void setLanguageSwitchesAndSignals()
    {
        TempHome home;
        QVERIFY(home.writeFile(QStringLiteral("Hollowmere/settings.json"), R"({"language":"en"})"));
        QTemporaryDir dir;
        Localization catalog;
        QVERIFY(catalog.load(writeCatalog(dir, kSmallCatalog)));
        QSignalSpy changed(&catalog, &Localization::languageChanged);
        catalog.setLanguage(QStringLiteral("ru"));
        QCOMPARE(changed.size(), 1);
        QCOMPARE(catalog.textFor("common.button.cancel"), QStringLiteral("Отмена"));
        catalog.setLanguage(QStringLiteral("ru"));
        QCOMPARE(changed.size(), 1);
        QTest::ignoreMessage(QtWarningMsg, "Неизвестный язык: de — берём системный");
        catalog.setLanguage(QStringLiteral("de"));
        QCOMPARE(catalog.language(), QStringLiteral("system"));
        QCOMPARE(changed.size(), 2);
        QTest::ignoreMessage(QtWarningMsg, "Неизвестный язык: de — берём системный");
        catalog.setLanguage(QStringLiteral("de"));
        QCOMPARE(changed.size(), 2);
    }

    // Run under a fixed LC_ALL by CTest; the locale is fixed per process.
    void systemLocaleResolution()
    {
        const QString expected = qEnvironmentVariable("HM_EXPECT_LANGUAGE");
        if (expected.isEmpty())
            QSKIP("runs under a locale chosen by CTest");
        TempHome home;
        QTemporaryDir dir;
        Localization catalog;
        QVERIFY(catalog.load(writeCatalog(dir, kSmallCatalog)));
        QCOMPARE(catalog.language(), QStringLiteral("system"));
        QCOMPARE(catalog.resolvedLanguage(), expected);
        QCOMPARE(catalog.textFor("common.button.cancel"), expected == QStringLiteral("ru")
                                                              ? QStringLiteral("Отмена")
                                                              : QStringLiteral("Cancel"));
    }

    void shippedCatalogLoads()
    {
        TempHome home;
        QVERIFY(Localization::instance()->load());
        QCOMPARE(Loc::text("common.button.cancel").isEmpty(), false);
    }

    void shippedCatalogIsComplete()
    {
        const QJsonObject catalog = shippedCatalog();
        const QJsonObject meta = catalog.value("_meta").toObject();
        QStringList languages;
        for (const QJsonValue& code : meta.value("languages").toArray())
            languages.append(code.toString());
        QCOMPARE(languages, (QStringList{"ru", "en"}));

        const QJsonObject strings = catalog.value("strings").toObject();
        QVERIFY(!strings.isEmpty());
        static const QRegularExpression keyShape(
            QStringLiteral("^[a-z][a-zA-Z0-9]*(\\.[a-z][a-zA-Z0-9]*)+$"));
        for (auto it = strings.begin(); it != strings.end(); ++it) {
            const QString& key = it.key();
            QVERIFY2(keyShape.match(key).hasMatch(), qPrintable(key));
            const QJsonObject entry = it.value().toObject();
            QVERIFY2(!entry.isEmpty(), qPrintable(key));
            const bool isList = entry.value(languages.first()).isArray();
            QSet<QString> expected;
            for (int i = 0; i < languages.size(); ++i) {
                const QJsonValue value = entry.value(languages.at(i));
                QVERIFY2(value.isArray() == isList, qPrintable(key + " " + languages.at(i)));
                if (isList) {
                    QVERIFY2(!value.toArray().isEmpty(), qPrintable(key));
                    continue;
                }
                QVERIFY2(!value.toString().trimmed().isEmpty(),
                         qPrintable(key + " " + languages.at(i)));
                if (i == 0)
                    expected = placeholders(value.toString());
                else
                    QVERIFY2(placeholders(value.toString()) == expected,
                             qPrintable("placeholders differ: " + key));
            }
        }

        // The interface builds a tree from the keys: no key may stand above another.
        const QStringList keys = strings.keys();
        for (const QString& key : keys)
            for (const QString& other : keys)
                QVERIFY2(!other.startsWith(key + QLatin1Char('.')),
                         qPrintable(key + " above " + other));
    }

    // Named in the call itself, or handed to it: a key chosen beforehand or passed as an
    // argument is a literal of a message domain elsewhere in the source.
    void everyKeyUsedInSourcesIsInTheCatalog_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::newRow("in the call")
            << QStringLiteral("Loc::(?:text|list)\\(\\s*\"([^\"]+)\"\\s*\\)");
        QTest::newRow("handed over")
            << QStringLiteral("\"((?:app|common|settings|profile|build|seasonal|version|java|"
                              "loader|auth|launch|game|switch|storage|zlib)"
                              "(?:\\.[a-z][a-zA-Z0-9]*){2,})\"");
    }

    void everyKeyUsedInSourcesIsInTheCatalog()
    {
        QFETCH(QString, pattern);
        const KeyUses uses =
            keysUsedIn(QStringLiteral(HM_PROJECT_SOURCE_DIR "/src"), {"*.cpp", "*.h"},
                       QRegularExpression(pattern),
                       [](const QRegularExpressionMatch& match) { return match.captured(1); });
        QVERIFY(uses.count > 0);
        QVERIFY2(uses.missing.isEmpty(), qPrintable(uses.missing.join('\n')));
    }

    // The interface reads texts as paths of Loc.t; a path without its key
    // reads as undefined there, so every path must name a key.
    void everyTextTheInterfaceReadsIsInTheCatalog()
    {
        static const QRegularExpression path(QStringLiteral("\\bLoc\\.t((?:\\.\\w+)+)(\\s*\\()?"));
        const KeyUses uses = keysUsedIn(QStringLiteral(HM_PROJECT_SOURCE_DIR "/qml"), {"*.qml"},
                                        path, [](const QRegularExpressionMatch& match) {
                                            QStringList segments =
                                                match.captured(1).mid(1).split(QLatin1Char('.'));
                                            // A trailing call such as .arg( belongs to the text,
                                            // not to the key.
                                            if (match.hasCaptured(2))
                                                segments.removeLast();
                                            return segments.join(QLatin1Char('.'));
                                        });
        QVERIFY(uses.count > 0);
        QVERIFY2(uses.missing.isEmpty(), qPrintable(uses.missing.join('\n')));
    }
};

QTEST_GUILESS_MAIN(TestLocalization)
#include "tst_localization.moc"
