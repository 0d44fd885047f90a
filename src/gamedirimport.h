#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>
#include <utility>

// Recognises what an existing game directory was last played with, so that a first
// run can adopt it as a build. Only reads files and keeps nothing between calls;
// whatever cannot be read counts as absent.
namespace GameDirImport {

struct Detected {
    // The base game version: the chosen version's parent, else its own id; empty when
    // only game content was found.
    QString gameVersion;
    // The chosen version when it has a parent; empty otherwise.
    QString versionId;
    // A loader key ("fabric", "quilt", "forge", "neoforge") or empty.
    QString loader;
    QString loaderVersion;
    // "launcher_profiles", "versions" or "content".
    QString source;
};

// None when the path is no directory or holds neither game content nor an installed
// version.
std::optional<Detected> detect(const QString& gameDir);

// The loader key and the loader's own version that a version description was made
// by; both empty when no loader is recognised.
std::pair<QString, QString> loaderOf(const QJsonObject& versionJson);

// What the build adopting the directory is called: the loader's title or "Minecraft"
// with the game version, or a translated generic name when only content was found.
QString buildName(const Detected& detected);

} // namespace GameDirImport
