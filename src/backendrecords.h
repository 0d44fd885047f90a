#pragma once

#include <QString>

// The records the backend keeps in its state files. They stand apart from the backend so
// that the classes which store, list and follow them build without the interface's object.

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
