#include "authservice.h"

#include "download.h"
#include "httprequest.h"
#include "localization.h"
#include "pathrules.h"
#include "remoteaddresses.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <QUuid>

namespace {

const QString kInjectorFileName = QStringLiteral("authlib-injector.jar");
const QString kInjectorManifestPath = QStringLiteral("/artifact/latest.json");
const QString kAuthenticatePath = QStringLiteral("/auth/authenticate");
const QString kValidatePath = QStringLiteral("/auth/validate");
const QString kRefreshPath = QStringLiteral("/auth/refresh");
const QString kUserType = QStringLiteral("ELYBY");

// A server that accepts the connection and never answers must not keep a
// launch waiting for ever. The bodies carry passwords and tokens: no redirect may
// take them to another host.
const HttpRequest::Recipe kAccountRecipe{30000, HttpRequest::Redirects::SameOrigin,
                                         HttpRequest::kReplyLimit};
const HttpRequest::Recipe kInjectorInfoRecipe{30000, HttpRequest::Redirects::NoLessSafe,
                                              HttpRequest::kReplyLimit};
const HttpRequest::Recipe kInjectorJarRecipe{30000, HttpRequest::Redirects::NoLessSafe,
                                             HttpRequest::kStreamed};

QString normalizeUuid(QString id)
{
    return id.remove(QLatin1Char('-'));
}

AuthResult failure(const QString& error)
{
    AuthResult result;
    result.error = error;
    return result;
}

// Nothing but the transfer time-out and the body bound aborts a request of this service.
QString replyErrorText(QNetworkReply::NetworkError error, const QString& text)
{
    return error == QNetworkReply::OperationCanceledError ? Loc::text("auth.error.timedOut") : text;
}

QString replyErrorText(const QNetworkReply* reply)
{
    if (HttpRequest::outgrewLimit(reply))
        return HttpRequest::errorText(reply);
    return replyErrorText(reply->error(), reply->errorString());
}

QString unreachable(const QString& networkError)
{
    return Loc::text("auth.ely.error.unreachable").arg(networkError);
}

// Identity fields of a sign-in or refresh reply.
void readProfile(const QJsonObject& reply, AuthResult* result)
{
    const QJsonObject profile = reply.value(QLatin1String("selectedProfile")).toObject();
    result->name = profile.value(QLatin1String("name")).toString();
    result->uuid = normalizeUuid(profile.value(QLatin1String("id")).toString());
    result->accessToken = reply.value(QLatin1String("accessToken")).toString();
    result->userType = kUserType;
}

QString serverMessage(int status, const QJsonObject& reply)
{
    const QString errorMessage = reply.value(QLatin1String("errorMessage")).toString();
    if (!errorMessage.isEmpty())
        return errorMessage;
    const QString error = reply.value(QLatin1String("error")).toString();
    if (!error.isEmpty())
        return error;
    return Loc::text("auth.error.serverCode").arg(status);
}

AuthResult authenticateResult(int status, const QJsonObject& reply, const QString& networkError,
                              const QString& clientToken)
{
    AuthResult result;
    result.clientToken = clientToken;
    if (!networkError.isEmpty()) {
        result.error = unreachable(networkError);
        return result;
    }
    if (status == 200) {
        readProfile(reply, &result);
        result.ok = !result.name.isEmpty() && !result.accessToken.isEmpty();
        if (!result.ok)
            result.error = Loc::text("auth.ely.error.noGameProfile");
        return result;
    }
    const QString message = serverMessage(status, reply);
    result.twoFactorRequired = message.contains(QLatin1String("two factor"), Qt::CaseInsensitive);
    result.error = result.twoFactorRequired ? Loc::text("auth.ely.error.twoFactor") : message;
    return result;
}

QString clientTokenOrNew(const QString& clientToken)
{
    return clientToken.isEmpty() ? AuthService::generateClientToken() : clientToken;
}

bool isHttpsAddress(const QUrl& url)
{
    return url.isValid() && url.scheme() == QLatin1String("https") && !url.host().isEmpty();
}

} // namespace

SignInReply readSignInReply(QNetworkReply* reply)
{
    reply->deleteLater();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // An aborted reply is closed and has nothing left to read.
    const QByteArray data = reply->isOpen() ? reply->readAll() : QByteArray();
    // A reply cut off by the time-out or by its connection is no answer, even after its
    // status line: what came of its body is not what the service meant to say. The
    // network layer's errors are the ones below the proxy's.
    const bool cutOff = reply->error() != QNetworkReply::NoError &&
                        reply->error() < QNetworkReply::ProxyConnectionRefusedError;
    const bool noAnswer = (status == 0 && reply->error() != QNetworkReply::NoError) || cutOff;
    if (noAnswer)
        return {0, QJsonObject(), replyErrorText(reply)};
    return {status, QJsonDocument::fromJson(data).object(), QString()};
}

AuthService::AuthService(QObject* parent)
    : QObject(parent), m_network(new QNetworkAccessManager(this))
{
}

AuthResult AuthService::offline(const QString& nickname)
{
    if (nickname.isEmpty())
        return failure(Loc::text("auth.offline.error.noNickname"));

    QByteArray digest = QCryptographicHash::hash(
        QStringLiteral("OfflinePlayer:%1").arg(nickname).toUtf8(), QCryptographicHash::Md5);
    // Name-based UUID layout: version 3, RFC 4122 variant.
    digest[6] = char((quint8(digest[6]) & 0x0F) | 0x30);
    digest[8] = char((quint8(digest[8]) & 0x3F) | 0x80);

    AuthResult result;
    result.ok = true;
    result.name = nickname;
    result.uuid = QString::fromLatin1(digest.toHex());
    result.accessToken = QStringLiteral("0");
    result.clientToken = QStringLiteral("0");
    result.userType = QStringLiteral("legacy");
    return result;
}

QString AuthService::generateClientToken()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

void AuthService::loginElyBy(const QString& login, const QString& password,
                             const QString& clientToken, const QString& accessToken,
                             const AuthCallback& done)
{
    if (login.isEmpty()) {
        done(failure(Loc::text("auth.ely.error.noLogin")));
        return;
    }
    const QString token = clientTokenOrNew(clientToken);
    if (accessToken.isEmpty()) {
        authenticate(login, password, token, done);
        return;
    }
    validateStoredToken(login, password, token, accessToken, done);
}

void AuthService::loginElyByWithTotp(const QString& login, const QString& password,
                                     const QString& code, const QString& clientToken,
                                     const AuthCallback& done)
{
    authenticate(login, password + QLatin1Char(':') + code, clientTokenOrNew(clientToken), done);
}

void AuthService::authenticate(const QString& username, const QString& password,
                               const QString& clientToken, const AuthCallback& done)
{
    if (password.isEmpty()) {
        done(failure(Loc::text("auth.ely.error.noPassword")));
        return;
    }
    emit progress(Loc::text("auth.ely.progress.signingIn"));
    const QJsonObject body{{QStringLiteral("clientToken"), clientToken},
                           {QStringLiteral("password"), password},
                           {QStringLiteral("requestUser"), true},
                           {QStringLiteral("username"), username}};
    postJson(
        kAuthenticatePath, body,
        [clientToken, done](int status, const QJsonObject& reply, const QString& networkError) {
            done(authenticateResult(status, reply, networkError, clientToken));
        });
}

void AuthService::validateStoredToken(const QString& login, const QString& password,
                                      const QString& clientToken, const QString& accessToken,
                                      const AuthCallback& done)
{
    emit progress(Loc::text("auth.ely.progress.checkingToken"));
    const QJsonObject body{{QStringLiteral("accessToken"), accessToken}};
    postJson(kValidatePath, body,
             [this, login, password, clientToken, accessToken, done](int status, const QJsonObject&,
                                                                     const QString& networkError) {
                 if (!networkError.isEmpty()) {
                     done(failure(unreachable(networkError)));
                     return;
                 }
                 if (status != 200) {
                     refreshStoredToken(login, password, clientToken, accessToken, done);
                     return;
                 }
                 AuthResult result;
                 result.ok = true;
                 result.accessToken = accessToken;
                 result.clientToken = clientToken;
                 result.userType = kUserType;
                 done(result);
             });
}

void AuthService::refreshStoredToken(const QString& login, const QString& password,
                                     const QString& clientToken, const QString& accessToken,
                                     const AuthCallback& done)
{
    emit progress(Loc::text("auth.ely.progress.refreshingToken"));
    const QJsonObject body{{QStringLiteral("accessToken"), accessToken},
                           {QStringLiteral("clientToken"), clientToken},
                           {QStringLiteral("requestUser"), true}};
    postJson(kRefreshPath, body,
             [this, login, password, clientToken, done](int status, const QJsonObject& reply,
                                                        const QString&) {
                 if (status != 200) {
                     authenticate(login, password, clientToken, done);
                     return;
                 }
                 AuthResult result;
                 readProfile(reply, &result);
                 result.ok = true;
                 result.clientToken = clientToken;
                 done(result);
             });
}

void AuthService::postJson(const QString& path, const QJsonObject& body, JsonReplyHandler handler)
{
    QNetworkReply* reply = HttpRequest::post(
        m_network, QUrl(RemoteAddresses::url(RemoteAddresses::Service::AccountService, path)),
        kAccountRecipe, QJsonDocument(body).toJson(QJsonDocument::Compact),
        {{"Content-Type", "application/json"}});
    connect(reply, &QNetworkReply::finished, this, [reply, handler = std::move(handler)] {
        const SignInReply answer = readSignInReply(reply);
        handler(answer.status, answer.body, answer.networkError);
    });
}

void AuthService::ensureAuthlibInjector(const QString& directory, const InjectorCallback& done)
{
    // A directory that cannot be made shows up below as a failed save.
    QDir().mkpath(directory);
    const QString jarPath = directory + QLatin1Char('/') + kInjectorFileName;
    if (QFileInfo::exists(jarPath)) {
        done(jarPath, QString());
        return;
    }
    emit progress(Loc::text("auth.ely.progress.downloadingInjector"));
    QNetworkReply* reply =
        HttpRequest::get(m_network,
                         QUrl(RemoteAddresses::url(RemoteAddresses::Service::InjectorMetadata,
                                                   kInjectorManifestPath)),
                         kInjectorInfoRecipe);
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, jarPath, done] { onInjectorMetadata(reply, jarPath, done); });
}

void AuthService::onInjectorMetadata(QNetworkReply* reply, const QString& jarPath,
                                     const InjectorCallback& done)
{
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        done(QString(), Loc::text("auth.ely.error.injectorInfoFailed").arg(replyErrorText(reply)));
        return;
    }
    const QJsonObject metadata = QJsonDocument::fromJson(reply->readAll()).object();
    const QString downloadUrl = metadata.value(QLatin1String("download_url")).toString();
    const QString sha256 = metadata.value(QLatin1String("checksums"))
                               .toObject()
                               .value(QLatin1String("sha256"))
                               .toString();
    if (downloadUrl.isEmpty()) {
        done(QString(), Loc::text("auth.ely.error.injectorNoUrl"));
        return;
    }
    const QUrl url(downloadUrl);
    if (!isHttpsAddress(url)) {
        done(QString(), Loc::text("auth.ely.error.injectorInsecureUrl"));
        return;
    }
    // Written aside and moved into place whole, after its digest matched: a partial
    // jar would pass for present on every later launch. The metadata gives the
    // digest in lower case; another spelling is no match.
    DownloadTarget target(url, jarPath, sha256, QCryptographicHash::Sha256);
    target.digestCase = Qt::CaseSensitive;
    Download* download = Download::start(m_network, target, kInjectorJarRecipe, {}, this);
    if (!download) {
        done(QString(), Loc::text("common.error.saveFailed").arg(PathRules::native(jarPath)));
        return;
    }
    connect(download, &Download::ended, this,
            [this, download, done] { onInjectorJar(download, done); });
}

void AuthService::onInjectorJar(Download* download, const InjectorCallback& done)
{
    download->deleteLater();
    const QString jarPath = download->target().path;
    if (download->outcome() == Download::Outcome::Saved) {
        done(jarPath, QString());
        return;
    }
    const auto transfer = [download](const QString& reason) {
        return Loc::text("auth.ely.error.injectorDownloadFailed")
            .arg(replyErrorText(download->networkError(), reason));
    };
    done(QString(),
         download->failureMessage(
             {.transfer = transfer,
              .checksum = Loc::text("auth.ely.error.injectorChecksum"),
              .disk = Loc::text("common.error.saveFailed").arg(PathRules::native(jarPath))}));
}
