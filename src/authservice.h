#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <functional>

class Download;
class QNetworkAccessManager;
class QNetworkReply;

// The outcome of any sign-in (offline, account service or Microsoft). Decide on
// `ok` first: the identity fields are meaningful only on success, the flags
// only on failure.
struct AuthResult {
    bool ok = false;
    // The account service wants a second-factor code with the password.
    bool twoFactorRequired = false;
    // The Microsoft account has no usable game profile; signing in again won't help.
    bool profileUnavailable = false;
    // A Microsoft service could not answer now (no answer, a time-out, a server error,
    // too many requests): the session was not refused, so signing in again won't help.
    bool serviceUnavailable = false;
    // Translated reason on failure (or the server's own text, passed through).
    QString error;
    QString name;
    // 32 hexadecimal digits, no dashes.
    QString uuid;
    QString accessToken;
    QString clientToken;
    // "legacy", "ELYBY" or "msa".
    QString userType;
    QString refreshToken;
    QString xuid;
    // UTC expiry of the game-services token (Microsoft only).
    QDateTime expiresAt;
};

// Completion of a sign-in: called exactly once, before the call returns when an
// input is missing, otherwise from the event loop.
using AuthCallback = std::function<void(const AuthResult& result)>;

// A finished sign-in reply, read the same way by both sign-in services: the HTTP
// status (0 when no answer came), the body as a JSON object (empty when it is
// not one) and, only when no answer came, the network error text.
struct SignInReply {
    int status = 0;
    QJsonObject body;
    QString networkError;
};
// Reads a finished reply and schedules it for deletion.
SignInReply readSignInReply(QNetworkReply* reply);

// Offline identities, sign-in at the authlib-injector account service (Ely.by)
// and the download of the authlib-injector agent the game is started with.
// Holds no sign-in state: every step carries what it needs in its reply handler.
class AuthService : public QObject {
    Q_OBJECT

public:
    // Called exactly once: the jar's path and an empty error, or an empty path
    // and a translated message.
    using InjectorCallback = std::function<void(const QString& path, const QString& error)>;

    explicit AuthService(QObject* parent = nullptr);

    static AuthResult offline(const QString& nickname);
    // A fresh random UUID in the 8-4-4-4-12 form, lowercase, without braces.
    static QString generateClientToken();

    // Signs a stored profile in: the stored token if the service still accepts
    // it, else a refreshed token, else the password. Empty tokens are allowed.
    void loginElyBy(const QString& login, const QString& password, const QString& clientToken,
                    const QString& accessToken, const AuthCallback& done);
    // Password sign-in with a second-factor code (already trimmed by the caller).
    void loginElyByWithTotp(const QString& login, const QString& password, const QString& code,
                            const QString& clientToken, const AuthCallback& done);
    void authenticate(const QString& username, const QString& password, const QString& clientToken,
                      const AuthCallback& done);

    // Makes sure the agent jar lies in `directory`: answers at once when a file
    // of that name is there, otherwise downloads and verifies the latest release.
    void ensureAuthlibInjector(const QString& directory, const InjectorCallback& done);

signals:
    // The translated text of the step about to start.
    void progress(const QString& message);

private:
    using JsonReplyHandler =
        std::function<void(int status, const QJsonObject& reply, const QString& networkError)>;

    void postJson(const QString& path, const QJsonObject& body, JsonReplyHandler handler);
    void validateStoredToken(const QString& login, const QString& password,
                             const QString& clientToken, const QString& accessToken,
                             const AuthCallback& done);
    void refreshStoredToken(const QString& login, const QString& password,
                            const QString& clientToken, const QString& accessToken,
                            const AuthCallback& done);
    void onInjectorMetadata(QNetworkReply* reply, const QString& jarPath,
                            const InjectorCallback& done);
    void onInjectorJar(Download* download, const InjectorCallback& done);

    QNetworkAccessManager* m_network;
};
