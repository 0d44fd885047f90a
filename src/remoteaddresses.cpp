#include "remoteaddresses.h"

#include <QHash>

namespace {

QString defaultOrigin(RemoteAddresses::Service service)
{
    using S = RemoteAddresses::Service;
    switch (service) {
    case S::VersionManifest:
        return QStringLiteral("https://piston-meta.mojang.com");
    case S::AssetObjects:
        return QStringLiteral("https://resources.download.minecraft.net");
    case S::GameLibraries:
        return QStringLiteral("https://libraries.minecraft.net");
    case S::MojangJavaRuntimes:
        return QStringLiteral("https://piston-meta.mojang.com");
    case S::Adoptium:
        return QStringLiteral("https://api.adoptium.net");
    case S::AccountService:
        return QStringLiteral("https://authserver.ely.by");
    case S::InjectorMetadata:
        return QStringLiteral("https://authlib-injector.yushi.moe");
    case S::MicrosoftLogin:
        return QStringLiteral("https://login.live.com");
    case S::XboxUserAuth:
        return QStringLiteral("https://user.auth.xboxlive.com");
    case S::XboxXsts:
        return QStringLiteral("https://xsts.auth.xboxlive.com");
    case S::GameServices:
        return QStringLiteral("https://api.minecraftservices.com");
    case S::FabricMeta:
        return QStringLiteral("https://meta.fabricmc.net");
    case S::QuiltMeta:
        return QStringLiteral("https://meta.quiltmc.org");
    case S::ForgeMaven:
        return QStringLiteral("https://maven.minecraftforge.net");
    case S::ForgeFiles:
        return QStringLiteral("https://files.minecraftforge.net");
    case S::NeoForgeMaven:
        return QStringLiteral("https://maven.neoforged.net");
    case S::ReleaseFeed:
        return QStringLiteral(HM_RELEASE_FEED_ORIGIN);
    case S::SeasonalCatalog:
        return QStringLiteral(HM_SEASONAL_CATALOG_URL);
    }
    return {};
}

QHash<int, QString>& overrides()
{
    static QHash<int, QString> table;
    return table;
}

QString& overrideForAll()
{
    static QString origin;
    return origin;
}

} // namespace

namespace RemoteAddresses {

QString origin(Service service)
{
    const auto it = overrides().constFind(int(service));
    if (it != overrides().cend())
        return *it;
    if (!overrideForAll().isEmpty())
        return overrideForAll();
    return defaultOrigin(service);
}

QString url(Service service, const QString& path)
{
    return origin(service) + path;
}

QString versionManifestUrl()
{
    return url(Service::VersionManifest, QStringLiteral("/mc/game/version_manifest_v2.json"));
}

QString mojangRuntimeIndexUrl()
{
    return url(Service::MojangJavaRuntimes,
               QStringLiteral(
                   "/v1/products/java-runtime/2ec0cc96c44e5a76b9c8b7c39df7210883d12871/all.json"));
}

QString releaseRepository()
{
    return QStringLiteral("corvane/Hollowmere");
}

QString microsoftClientId()
{
    return QStringLiteral("00000000402b5328");
}
QString organisationDomain()
{
    return QStringLiteral(HM_ORGANISATION_DOMAIN);
}

QString authlibInjectorServer()
{
    // The agent finds the service's API through its public domain; an origin pointed
    // elsewhere is handed over whole, which the agent accepts as well.
    const QString service = origin(Service::AccountService);
    return service == defaultOrigin(Service::AccountService) ? QStringLiteral("ely.by") : service;
}

void setOriginForTesting(Service service, const QString& origin)
{
    overrides().insert(int(service), origin);
}

void setAllOriginsForTesting(const QString& origin)
{
    overrideForAll() = origin;
}

void resetForTesting()
{
    overrides().clear();
    overrideForAll().clear();
}

} // namespace RemoteAddresses
