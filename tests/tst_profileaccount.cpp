#include "backendstore.h"
#include "profileaccount.h"

#include <QTest>

namespace {
const QString& kOffline = BackendStore::kOffline;
const QString& kElyBy = BackendStore::kElyBy;
const QString& kMicrosoft = BackendStore::kMicrosoft;
} // namespace

class TestProfileAccount : public QObject {
    Q_OBJECT

private slots:
    // Each kind keeps its own credentials of what was typed; names and logins on one line.
    void eachKindKeepsItsCredentials_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("login");
        QTest::addColumn<QString>("password");
        const QString typedPassword = QStringLiteral(" p w\n");
        QTest::newRow("offline") << kOffline << QStringLiteral("steve") << QString();
        QTest::newRow("account service") << kElyBy << QStringLiteral("steve") << typedPassword;
        QTest::newRow("microsoft") << kMicrosoft << QString() << QString();
        QTest::newRow("unknown kind")
            << QStringLiteral("Microsoft") << QStringLiteral("steve") << QString();
    }

    void eachKindKeepsItsCredentials()
    {
        QFETCH(QString, kind);
        QFETCH(QString, login);
        QFETCH(QString, password);
        const Profile added =
            ProfileAccount::newProfile(1, " Steve\r\nJr ", " steve\n", " p w\n", kind);
        QCOMPARE(added.name, QStringLiteral("Steve Jr"));
        QCOMPARE(added.login, login);
        QCOMPARE(added.password, password);

        Profile edited = ProfileAccount::newProfile(1, "Old", "old", "old", "elyby");
        ProfileAccount::edit(edited, "Alex\n", " steve\n", " p w\n", kind);
        QCOMPARE(edited.name, QStringLiteral("Alex"));
        QCOMPARE(edited.login, login);
        QCOMPARE(edited.password, password);
    }

    void editKeepsWhatItIsNotGiven()
    {
        Profile profile = ProfileAccount::newProfile(1, "Alex", "a@b", "pw", "elyby");
        profile.accessToken = "token";
        // A login that reads the same on one line is the same account: its session stays.
        QVERIFY(!ProfileAccount::edit(profile, " \n", " a@b\n", "pw", "elyby"));
        QCOMPARE(profile.name, QStringLiteral("Alex"));
        QCOMPARE(profile.accessToken, QStringLiteral("token"));
        // Signing in again to Microsoft from the editor: the typed login and password go.
        QVERIFY(ProfileAccount::edit(profile, "", "a@b", "pw", "microsoft"));
        QCOMPARE(profile.name, QStringLiteral("Alex"));
        QVERIFY(profile.login.isEmpty() && profile.password.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestProfileAccount)
#include "tst_profileaccount.moc"
