#pragma once

#include "authservice.h"
#include "backendrecords.h"
#include "followedprofile.h"
#include "minecraftversion.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>

class MsaAuthService;
struct LaunchOptions;

// One press of the play action on its way to a running game: the version read and its
// files checked, then the player signed in by the profile's kind. The backend holds the
// attempt under way and deletes it when the launch starts, fails, is cancelled or is
// replaced; every reply the attempt waits for holds only a weak pointer to it, so the
// late answer of an abandoned launch finds nothing to act on.
//
// Every outcome is a signal, and a listener may delete the attempt while it is emitted:
// nothing here touches the attempt after emitting.
class LaunchAttempt : public QObject {
    Q_OBJECT

public:
    using Profile = ::Profile;

    // profiles is the backend's list, read again at every step: the profile is followed
    // by its id, so a list that changes during the sign-in never mixes up two accounts.
    LaunchAttempt(const QList<Profile>& profiles, int profileIndex, int buildId, AuthService* auth,
                  MsaAuthService* msa);

    // The profile's place in the list now; -1 once it is gone.
    int profilePosition() const { return m_profile.positionIn(m_profiles); }
    int buildId() const { return m_buildId; }
    const MinecraftVersion& version() const { return m_version; }

    // Why the build's version cannot launch from the game directory: the directory is
    // missing or no game can run from it, the build names no version, or that version is
    // not installed; empty when it is there.
    static QString refusal(const QString& gameDir, const QString& versionId,
                           const QString& buildName);
    // What keeps the build's version from launching: a game directory no game can run
    // from, why it names none or cannot be read, or the files missing from the game
    // directory, as many as a launch names at most; empty when it is complete.
    static QStringList problems(const QString& gameDir, const QString& versionId,
                                const QString& buildName);

    // Reads the version to launch, with the rules the settings' window size meets, and
    // checks that its files are there; false, with the reason in error, when the game
    // cannot start from them.
    bool prepare(const QString& gameDir, const QString& versionId, const QVariantMap& settings,
                 QString* error);
    // Signs the profile in by its kind: offline, the account service or Microsoft.
    void signIn();
    // Answers the account service's request for a second factor with a trimmed code.
    void submitCode(const QString& code);
    // What the game is started with, from the sign-in, the profile, the build's server
    // and the settings.
    LaunchOptions options(const AuthResult& result, const Profile& profile,
                          const QString& serverUrl, const QVariantMap& settings);

    // The java executable of the managed runtime the settings choose; empty when none is
    // chosen or it is not installed.
    static QString managedJavaPath(const QVariantMap& settings);

signals:
    void progress(const QString& message);
    void signedIn(const AuthResult& result);
    // The account service asks for a second-factor code; the launch waits for it.
    void codeRequired(const QString& profileName);
    // needsNewSignIn: the Microsoft account must be signed in again in the window.
    void failed(const QString& message, bool needsNewSignIn);

private:
    const Profile* currentProfile() const;
    void signInToAccountService();
    void signInToMicrosoft(const Profile& profile);
    void finishSignIn(const AuthResult& result, bool codeMayBeAsked);
    void failCancelled();
    static bool hasUsableSession(const Profile& profile, const QDateTime& expiry);
    static AuthResult storedMicrosoftSession(const Profile& profile, const QDateTime& expiry);

    const QList<Profile>& m_profiles;
    FollowedProfile m_profile;
    int m_buildId = -1;
    AuthService* m_auth = nullptr;
    MsaAuthService* m_msa = nullptr;
    QString m_gameDir;
    MinecraftVersion m_version;
    QString m_authlibInjectorPath;
};
