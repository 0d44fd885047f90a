#include "microsoftsignin.h"

#include "backendstore.h"
#include "localization.h"
#include "msaauthservice.h"
#include "profileaccount.h"

#include <QPointer>
#include <QUrl>

MicrosoftSignIn::MicrosoftSignIn(const QList<Profile>& profiles, int profileIndex,
                                 MsaAuthService* msa)
    : m_newProfile(profileIndex < 0),
      m_profile(m_newProfile ? FollowedProfile{} : FollowedProfile::at(profiles, profileIndex)),
      m_msa(msa)
{
}

QVariantMap MicrosoftSignIn::inspectRedirect(const QString& url)
{
    QString code;
    QString error;
    const bool matched =
        MsaAuthService::matchRedirect(QUrl(url, QUrl::TolerantMode), &code, &error);
    return {{QStringLiteral("matched"), matched},
            {QStringLiteral("code"), code},
            {QStringLiteral("error"), error}};
}

void MicrosoftSignIn::exchange(const QString& code, const std::function<void()>& replied)
{
    m_msa->loginWithCode(code, [self = QPointer(this), replied](const AuthResult& result) {
        replied();
        if (self)
            emit self->answered(result);
    });
}

bool MicrosoftSignIn::store(QList<Profile>& profiles, int& nextProfileId, const AuthResult& result,
                            QString* error) const
{
    if (m_newProfile) {
        profiles.append(ProfileAccount::newMicrosoftProfile(nextProfileId++, result));
        return true;
    }
    const int position = m_profile.positionIn(profiles);
    if (position < 0) {
        if (error)
            *error = Loc::text("profile.error.removedDuringLogin");
        return false;
    }
    Profile& profile = profiles[position];
    profile.authType = BackendStore::kMicrosoft;
    ProfileAccount::applyMicrosoftResult(profile, result);
    return true;
}
