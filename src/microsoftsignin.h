#pragma once

#include "authservice.h"
#include "backendrecords.h"
#include "followedprofile.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>

class MsaAuthService;

// One Microsoft sign-in window the interface opened, and the profile it works for: a new
// one, or an existing one followed by its id, so a profile removed meanwhile never
// receives another's tokens. The backend holds the open window and deletes it once it is
// answered, cancelled or replaced by the next; a code exchange holds only a weak pointer
// to it, so the late answer of a window gone finds nothing to act on.
class MicrosoftSignIn : public QObject {
    Q_OBJECT

public:
    // A negative index signs in a new profile.
    MicrosoftSignIn(const QList<Profile>& profiles, int profileIndex, MsaAuthService* msa);

    // What an address the window reached tells: {"matched": it is the sign-in redirect,
    // "code", "error"}.
    static QVariantMap inspectRedirect(const QString& url);

    // Exchanges the window's authorisation code. replied runs when the answer arrives,
    // also once the window is gone; answered follows while it is still open.
    void exchange(const QString& code, const std::function<void()>& replied);
    // Stores a successful answer in the profile list: a new profile with the next id, or
    // the window's profile turned into a Microsoft one. False, with the message in
    // error, when that profile is gone.
    bool store(QList<Profile>& profiles, int& nextProfileId, const AuthResult& result,
               QString* error) const;

signals:
    void answered(const AuthResult& result);

private:
    bool m_newProfile = false;
    FollowedProfile m_profile;
    MsaAuthService* m_msa = nullptr;
};
