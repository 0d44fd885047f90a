#pragma once

#include "authservice.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <functional>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;
class QUrl;

// Signs a Microsoft account in to the game: an authorisation code from the
// sign-in window, or a stored refresh token, is traded for a Microsoft token,
// then an Xbox Live user token, an XSTS token, a game-services token and finally
// the game profile. Each request is sent from the reply handler of the one
// before and carries what later steps need; the service itself keeps nothing.
class MsaAuthService : public QObject {
    Q_OBJECT

public:
    explicit MsaAuthService(QObject* parent = nullptr);

    // The OAuth client identifier; a session rebuilt from storage carries it as
    // its client token, like a fresh sign-in does.
    static QString clientId();
    // The address the sign-in window opens.
    static QUrl authorizationUrl();
    // True when `url` is the desktop redirect that ends the sign-in; then `code`
    // and `error` (both optional) receive what the sign-in page handed back.
    static bool matchRedirect(const QUrl& url, QString* code = nullptr, QString* error = nullptr);

    // Both call `done` exactly once: before returning when the input is empty,
    // otherwise from the event loop.
    void loginWithCode(const QString& code, const AuthCallback& done);
    void loginWithRefreshToken(const QString& refreshToken, const AuthCallback& done);

signals:
    // The translated text of the step about to start.
    void progress(const QString& message);

private:
    using ReplyHandler =
        std::function<void(int status, const QJsonObject& reply, const QString& networkError)>;

    void exchangeToken(const QByteArray& form, const AuthCallback& done);
    void authenticateXbox(const QString& microsoftToken, const QString& refreshToken,
                          const AuthCallback& done);
    void authorizeXsts(const QString& userToken, const QString& refreshToken,
                       const AuthCallback& done);
    void loginWithXbox(const QString& userHash, const QString& xstsToken, const QString& xuid,
                       const QString& refreshToken, const AuthCallback& done);
    void fetchProfile(AuthResult result, const AuthCallback& done);

    void postForm(const QUrl& url, const QByteArray& form, ReplyHandler handler);
    void postJson(const QUrl& url, const QJsonObject& body, const QString& bearer,
                  ReplyHandler handler);
    void getJson(const QUrl& url, const QString& bearer, ReplyHandler handler);
    void whenFinished(QNetworkReply* reply, ReplyHandler handler);

    QNetworkAccessManager* m_network;
};
