#include "profileaccount.h"

#include "authservice.h"
#include "backendstore.h"
#include "fieldtext.h"

namespace {
struct Credentials {
    QString login;
    QString password;
};

// What an account of the kind keeps of what the player typed: an offline one its player
// name, an account-service one its login and its password exactly as typed, a Microsoft
// one neither (its browser sign-in asks for them).
Credentials keptCredentials(const QString& authType, const QString& login, const QString& password)
{
    if (authType == BackendStore::kMicrosoft)
        return {};
    return {FieldText::oneLine(login), authType == BackendStore::kElyBy ? password : QString()};
}
} // namespace

Profile ProfileAccount::newProfile(int id, const QString& name, const QString& login,
                                   const QString& password, const QString& authType)
{
    Profile profile;
    profile.id = id;
    profile.name = FieldText::oneLine(name);
    profile.authType = normalizedAuthType(authType);
    const Credentials kept = keptCredentials(profile.authType, login, password);
    profile.login = kept.login;
    profile.password = kept.password;
    profile.clientToken = AuthService::generateClientToken();
    return profile;
}

Profile ProfileAccount::newMicrosoftProfile(int id, const AuthResult& result)
{
    Profile profile;
    profile.id = id;
    profile.name = result.name;
    profile.authType = BackendStore::kMicrosoft;
    profile.clientToken = AuthService::generateClientToken();
    applyMicrosoftResult(profile, result);
    return profile;
}

QVariantMap ProfileAccount::shownFields(const Profile& profile)
{
    return {{QStringLiteral("name"), profile.name},
            {QStringLiteral("login"), profile.login},
            {QStringLiteral("password"), profile.password},
            {QStringLiteral("authType"), profile.authType},
            {QStringLiteral("resolvedName"), profile.resolvedName},
            {QStringLiteral("hasMicrosoftSession"), !profile.refreshToken.isEmpty()}};
}

QString ProfileAccount::normalizedAuthType(const QString& authType)
{
    if (authType == BackendStore::kElyBy || authType == BackendStore::kMicrosoft)
        return authType;
    return BackendStore::kOffline;
}

bool ProfileAccount::edit(Profile& profile, const QString& name, const QString& login,
                          const QString& password, const QString& authType)
{
    const QString type = normalizedAuthType(authType);
    const Credentials kept = keptCredentials(type, login, password);
    const bool credentialsChanged =
        kept.login != profile.login || kept.password != profile.password;
    const bool accountChanged = type != profile.authType ||
                                (profile.authType == BackendStore::kElyBy && credentialsChanged);
    // Account-service tokens belong to the login and password they were issued for.
    if (profile.authType == BackendStore::kElyBy && credentialsChanged) {
        profile.accessToken.clear();
        profile.uuid.clear();
        profile.resolvedName.clear();
    }
    if (type != profile.authType) {
        for (QString* session :
             {&profile.accessToken, &profile.refreshToken, &profile.uuid, &profile.resolvedName,
              &profile.xuid, &profile.tokenExpiry, &profile.userType})
            session->clear();
    }
    // A blank name keeps the stored one, so the profile stays findable in the list.
    const QString shownName = FieldText::oneLine(name);
    if (!shownName.isEmpty())
        profile.name = shownName;
    profile.login = kept.login;
    profile.password = kept.password;
    profile.authType = type;
    if (profile.clientToken.isEmpty())
        profile.clientToken = AuthService::generateClientToken();
    return accountChanged;
}

bool ProfileAccount::storeSignIn(Profile& profile, const AuthResult& result)
{
    if (profile.authType == BackendStore::kMicrosoft) {
        if (result.ok)
            applyMicrosoftResult(profile, result);
        return result.ok;
    }
    if (profile.authType != BackendStore::kElyBy || result.accessToken.isEmpty())
        return false;
    profile.accessToken = result.accessToken;
    profile.clientToken = result.clientToken;
    // Confirming a stored token tells neither name nor UUID: the stored ones stay.
    takeIdentity(profile, result);
    profile.userType = result.userType;
    return true;
}

void ProfileAccount::applyMicrosoftResult(Profile& profile, const AuthResult& result)
{
    profile.accessToken = result.accessToken;
    // A refresh may hand out no new refresh token: the stored one stays valid.
    if (!result.refreshToken.isEmpty())
        profile.refreshToken = result.refreshToken;
    takeIdentity(profile, result);
    profile.xuid = result.xuid;
    profile.userType = result.userType;
    profile.tokenExpiry =
        result.expiresAt.isValid() ? result.expiresAt.toUTC().toString(Qt::ISODate) : QString();
}

// A sign-in that names the player updates the stored name and UUID; one that does not
// leaves them.
void ProfileAccount::takeIdentity(Profile& profile, const AuthResult& result)
{
    if (!result.uuid.isEmpty())
        profile.uuid = result.uuid;
    if (!result.name.isEmpty())
        profile.resolvedName = result.name;
}
