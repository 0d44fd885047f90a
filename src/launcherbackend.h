#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>

class AuthService;
class QJsonDocument;

// The one object the interface instantiates: it keeps the accounts, the custom
// builds and the settings in the data directory and runs every pipeline of the
// launcher over its services.
class LauncherBackend : public QObject {
    Q_OBJECT
    QML_ELEMENT

public:
    // A stored account.
    struct Profile {
        int id = 0;
        QString name;
        QString login;
        QString password;
        QString authType = QStringLiteral("offline");
        QString clientToken;
        QString accessToken;
        QString uuid;
        QString resolvedName;
        QString userType;
        QString refreshToken;
        QString xuid;
        QString tokenExpiry;
    };

    // A stored build: a game version, optionally a mod loader and a server.
    struct CustomBuild {
        int id = 0;
        QString name;
        QString serverUrl;
        QString minecraftVersion;
        QString loader;
        QString loaderVersion;
        QString resolvedVersionId;
        QString seasonalId;
        int seasonalRevision = 0;
    };

    explicit LauncherBackend(QObject* parent = nullptr);

    Q_INVOKABLE void updateSettings(const QVariantMap& values);

signals:
    void settingsChanged();
    void launchError(const QString& message);

private:
    friend class TestLauncherBackend;

    // Reading never fails: a missing file reads as empty, an unreadable or broken
    // one reads as empty and leaves a start-up warning (a broken one is set aside).
    QJsonArray readArrayFile(const QString& path, bool* unreadable = nullptr);
    QJsonObject readObjectFile(const QString& path);
    QJsonDocument readJsonFile(const QString& path, bool expectArray, bool* unreadable);
    bool moveAsideBroken(const QString& path, const QString& reason);
    bool writeJsonFile(const QString& path, const QJsonDocument& document);
    void reportStorageError(const QString& message);

    void saveProfiles();
    void saveCustomBuilds();
    void saveSettings();

    void loadSettings();
    bool migrateLegacyBuildsFile();
    void loadData();
    void ensureDataFiles();

    QString gameDir() const;
    static int settingInt(const QVariantMap& settings, const QString& key, int fallback);
    int indexOfBuildId(int id) const;
    static QString launchVersionIdOf(const CustomBuild& build);

    QList<Profile> m_profiles;
    QList<CustomBuild> m_customBuilds;
    QVariantMap m_settings;
    QStringList m_startupWarnings;
    int m_nextProfileId = 1;
    int m_nextBuildId = 1;
    AuthService* m_auth = nullptr;
    // Storage errors met while the constructor runs reach nobody as signals, so
    // until it returns they join the start-up warnings.
    bool m_constructing = true;
};
