#pragma once

#include <QString>

// Every remote address the launcher talks to, in one place. The defaults are the
// public services' own https origins; the launcher's own services come from the
// build configuration. Components append the documented paths to these origins.
namespace RemoteAddresses {

enum class Service {
    VersionManifest,    // game version manifest and version descriptions
    AssetObjects,       // game asset objects, addressed by hash
    GameLibraries,      // game libraries
    MojangJavaRuntimes, // runtime index and file manifests of the game vendor
    Adoptium,           // Adoptium API
    AccountService,     // authlib-injector account service
    InjectorMetadata,   // authlib-injector agent release metadata
    MicrosoftLogin,     // Microsoft OAuth (authorise, token, desktop redirect)
    XboxUserAuth,       // Xbox Live user authentication
    XboxXsts,           // XSTS authorisation
    GameServices,       // game-services login and profile
    FabricMeta,
    QuiltMeta,
    ForgeMaven,
    ForgeFiles, // Forge promotions
    NeoForgeMaven,
    ReleaseFeed,     // code-hosting service publishing launcher releases
    SeasonalCatalog, // default seasonal catalog base address
};

// Origin (scheme and host, no trailing slash) of a service, or the configured
// base address for the services whose address carries a path.
QString origin(Service service);
// origin(service) followed by path, which starts with '/'.
QString url(Service service, const QString& path);

// Address of the game vendor's version manifest document.
QString versionManifestUrl();
// Address of the game vendor's Java runtime index document.
QString mojangRuntimeIndexUrl();
// Owner/repository of the launcher on the release feed; only the feed's origin is
// the build configuration's.
QString releaseRepository();
// OAuth client identifier accepted together with the desktop redirect address.
QString microsoftClientId();
QString organisationDomain();
// The account service as the authlib-injector agent is told it on the game's command line.
QString authlibInjectorServer();

// Tests only: point one service, or every service, at another origin.
void setOriginForTesting(Service service, const QString& origin);
void setAllOriginsForTesting(const QString& origin);
void resetForTesting();

} // namespace RemoteAddresses
