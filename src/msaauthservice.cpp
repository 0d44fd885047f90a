#include "msaauthservice.h"

#include "httprequest.h"
#include "localization.h"
#include "remoteaddresses.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QUrl>
#include <QUrlQuery>

#include <cmath>
#include <utility>

namespace {

using RemoteAddresses::Service;

const QString kAuthorizePath = QStringLiteral("/oauth20_authorize.srf");
const QString kTokenPath = QStringLiteral("/oauth20_token.srf");
const QString kRedirectPath = QStringLiteral("/oauth20_desktop.srf");
const QString kXboxAuthPath = QStringLiteral("/user/authenticate");
const QString kXstsPath = QStringLiteral("/xsts/authorize");
const QString kMinecraftLoginPath = QStringLiteral("/authentication/login_with_xbox");
const QString kProfilePath = QStringLiteral("/minecraft/profile");

// Identifiers of the parties the two Xbox tokens are issued for; the services
// expect exactly these texts, they are never contacted.
const QString kXboxRelyingParty = QStringLiteral("http://auth.xboxlive.com");
const QString kGameServicesRelyingParty = QStringLiteral("rp://api.minecraftservices.com/");
// Put in front of the Microsoft token in the Xbox Live request: the client
// identifier in use expects the bare token.
const QString kRpsTicketPrefix;

const QString kUserType = QStringLiteral("msa");
constexpr qint64 kDefaultTokenLifetimeSeconds = 86400;
constexpr int kStatusOk = 200;
constexpr int kStatusRequestTimeout = 408;
constexpr int kStatusTooManyRequests = 429;
constexpr int kFirstServerError = 500;

const HttpRequest::Recipe kRecipe{20000, HttpRequest::Redirects::NoLessSafe,
                                  HttpRequest::kReplyLimit};

QUrl serviceUrl(Service service, const QString& path)
{
    return QUrl(RemoteAddresses::url(service, path));
}

QString redirectUri()
{
    return RemoteAddresses::url(Service::MicrosoftLogin, kRedirectPath);
}

QString xboxAuthHost()
{
    return serviceUrl(Service::XboxUserAuth, kXboxAuthPath).host();
}

QString scope()
{
    return QStringLiteral("service::%1::MBI_SSL").arg(xboxAuthHost());
}

using FormPairs = QList<std::pair<QString, QString>>;

// Every character but the unreserved ones is percent-encoded, so a "+" in a
// code or refresh token is not read back as a space.
QByteArray encodeForm(const FormPairs& pairs)
{
    QByteArray encoded;
    for (const auto& [name, value] : pairs) {
        if (!encoded.isEmpty())
            encoded += '&';
        encoded += QUrl::toPercentEncoding(name) + '=' + QUrl::toPercentEncoding(value);
    }
    return encoded;
}

QByteArray codeForm(const QString& code)
{
    return encodeForm({{QStringLiteral("client_id"), MsaAuthService::clientId()},
                       {QStringLiteral("code"), code},
                       {QStringLiteral("grant_type"), QStringLiteral("authorization_code")},
                       {QStringLiteral("redirect_uri"), redirectUri()}});
}

QByteArray refreshForm(const QString& refreshToken)
{
    return encodeForm({{QStringLiteral("client_id"), MsaAuthService::clientId()},
                       {QStringLiteral("refresh_token"), refreshToken},
                       {QStringLiteral("grant_type"), QStringLiteral("refresh_token")},
                       {QStringLiteral("redirect_uri"), redirectUri()},
                       {QStringLiteral("scope"), scope()}});
}

// No answer (status 0), a server error, or a request to come back later: the
// service could not serve the sign-in now, which says nothing about the session.
bool unavailableNow(int status)
{
    return status == 0 || status == kStatusRequestTimeout || status == kStatusTooManyRequests ||
           status >= kFirstServerError;
}

AuthResult failure(const QString& error, bool serviceUnavailable = false)
{
    AuthResult result;
    result.error = error;
    result.serviceUnavailable = serviceUnavailable;
    return result;
}

AuthResult unreachable(const char* key, const QString& networkError)
{
    return failure(Loc::text(key).arg(networkError), true);
}

// A step's failure status: the service refusing the request, or being unavailable.
AuthResult statusFailure(int status, const char* refusedKey, const char* unavailableKey)
{
    const bool unavailable = unavailableNow(status);
    return failure(Loc::text(unavailable ? unavailableKey : refusedKey).arg(status), unavailable);
}

QString text(const QJsonObject& object, const char* key)
{
    return object.value(QLatin1String(key)).toString();
}

// The token endpoint's own explanation, else its error code, else the status.
QString tokenEndpointError(int status, const QJsonObject& reply)
{
    const QString description = text(reply, "error_description");
    if (!description.isEmpty())
        return description;
    const QString error = text(reply, "error");
    if (!error.isEmpty())
        return error;
    return Loc::text("auth.msa.error.microsoftCode").arg(status);
}

QString xboxAccountError(const QJsonObject& reply)
{
    const auto xerr = qint64(reply.value(QLatin1String("XErr")).toDouble());
    switch (xerr) {
    case 2148916233LL:
        return Loc::text("auth.msa.error.noXboxProfile");
    case 2148916235LL:
        return Loc::text("auth.msa.error.countryBlocked");
    case 2148916236LL:
    case 2148916237LL:
        return Loc::text("auth.msa.error.ageVerification");
    case 2148916238LL:
        return Loc::text("auth.msa.error.childAccount");
    default:
        break;
    }
    const QString message = text(reply, "Message");
    if (!message.isEmpty())
        return message;
    return Loc::text("auth.msa.error.xboxRejected").arg(QString::number(xerr));
}

qint64 tokenLifetimeSeconds(const QJsonValue& expiresIn)
{
    const double seconds = expiresIn.toDouble(std::nan(""));
    if (!std::isfinite(seconds) || std::trunc(seconds) != seconds)
        return kDefaultTokenLifetimeSeconds;
    return qint64(seconds);
}

HttpRequest::Headers jsonHeaders(const QString& bearer)
{
    HttpRequest::Headers headers{{"Accept", "application/json"}};
    if (!bearer.isEmpty())
        headers.emplaceBack("Authorization", QStringLiteral("Bearer %1").arg(bearer).toUtf8());
    return headers;
}

} // namespace

MsaAuthService::MsaAuthService(QObject* parent)
    : QObject(parent), m_network(new QNetworkAccessManager(this))
{
}

QString MsaAuthService::clientId()
{
    return RemoteAddresses::microsoftClientId();
}

QUrl MsaAuthService::authorizationUrl()
{
    QUrl url = serviceUrl(Service::MicrosoftLogin, kAuthorizePath);
    const QByteArray query =
        encodeForm({{QStringLiteral("client_id"), clientId()},
                    {QStringLiteral("response_type"), QStringLiteral("code")},
                    {QStringLiteral("redirect_uri"), redirectUri()},
                    {QStringLiteral("scope"), scope()},
                    {QStringLiteral("prompt"), QStringLiteral("select_account")}});
    url.setQuery(QString::fromLatin1(query), QUrl::StrictMode);
    return url;
}

bool MsaAuthService::matchRedirect(const QUrl& url, QString* code, QString* error)
{
    const QUrl redirect(redirectUri());
    if (url.host(QUrl::FullyDecoded)
            .compare(redirect.host(QUrl::FullyDecoded), Qt::CaseInsensitive) != 0)
        return false;
    if (url.path(QUrl::FullyDecoded) != redirect.path(QUrl::FullyDecoded))
        return false;

    const auto carriesAnswer = [](const QUrlQuery& pairs) {
        return pairs.hasQueryItem(QStringLiteral("code")) ||
               pairs.hasQueryItem(QStringLiteral("error"));
    };
    QUrlQuery pairs(url.query(QUrl::FullyEncoded));
    if (!carriesAnswer(pairs))
        pairs = QUrlQuery(url.fragment(QUrl::FullyEncoded));

    const auto value = [&pairs](const QString& name) {
        return pairs.queryItemValue(name, QUrl::FullyDecoded);
    };
    if (code)
        *code = value(QStringLiteral("code"));
    if (error) {
        const QString description = value(QStringLiteral("error_description"));
        *error = description.isEmpty() ? value(QStringLiteral("error")) : description;
    }
    return true;
}

void MsaAuthService::loginWithCode(const QString& code, const AuthCallback& done)
{
    if (code.isEmpty()) {
        done(failure(Loc::text("auth.msa.error.noAuthCode")));
        return;
    }
    const QByteArray form = codeForm(code);
    emit progress(Loc::text("auth.msa.progress.exchangingCode"));
    exchangeToken(form, done);
}

void MsaAuthService::loginWithRefreshToken(const QString& refreshToken, const AuthCallback& done)
{
    if (refreshToken.isEmpty()) {
        done(failure(Loc::text("auth.msa.error.profileNotLinked")));
        return;
    }
    const QByteArray form = refreshForm(refreshToken);
    emit progress(Loc::text("auth.msa.progress.refreshingSession"));
    exchangeToken(form, done);
}

void MsaAuthService::exchangeToken(const QByteArray& form, const AuthCallback& done)
{
    postForm(serviceUrl(Service::MicrosoftLogin, kTokenPath), form,
             [this, done](int status, const QJsonObject& reply, const QString& networkError) {
                 if (!networkError.isEmpty()) {
                     done(unreachable("auth.msa.error.microsoftUnreachable", networkError));
                     return;
                 }
                 if (status != kStatusOk) {
                     done(failure(tokenEndpointError(status, reply), unavailableNow(status)));
                     return;
                 }
                 const QString accessToken = text(reply, "access_token");
                 if (accessToken.isEmpty()) {
                     done(failure(Loc::text("auth.msa.error.noAccessToken")));
                     return;
                 }
                 authenticateXbox(accessToken, text(reply, "refresh_token"), done);
             });
}

void MsaAuthService::authenticateXbox(const QString& microsoftToken, const QString& refreshToken,
                                      const AuthCallback& done)
{
    emit progress(Loc::text("auth.msa.progress.xboxSignIn"));
    const QJsonObject properties{{QStringLiteral("AuthMethod"), QStringLiteral("RPS")},
                                 {QStringLiteral("RpsTicket"), kRpsTicketPrefix + microsoftToken},
                                 {QStringLiteral("SiteName"), xboxAuthHost()}};
    const QJsonObject body{{QStringLiteral("Properties"), properties},
                           {QStringLiteral("RelyingParty"), kXboxRelyingParty},
                           {QStringLiteral("TokenType"), QStringLiteral("JWT")}};
    postJson(serviceUrl(Service::XboxUserAuth, kXboxAuthPath), body, QString(),
             [this, refreshToken, done](int status, const QJsonObject& reply,
                                        const QString& networkError) {
                 if (!networkError.isEmpty()) {
                     done(unreachable("auth.msa.error.xboxUnreachable", networkError));
                     return;
                 }
                 if (status != kStatusOk) {
                     done(statusFailure(status, "auth.msa.error.xboxTokenRejected",
                                        "auth.msa.error.xboxUnavailable"));
                     return;
                 }
                 const QString userToken = text(reply, "Token");
                 if (userToken.isEmpty()) {
                     done(failure(Loc::text("auth.msa.error.xboxNoToken")));
                     return;
                 }
                 authorizeXsts(userToken, refreshToken, done);
             });
}

void MsaAuthService::authorizeXsts(const QString& userToken, const QString& refreshToken,
                                   const AuthCallback& done)
{
    emit progress(Loc::text("auth.msa.progress.xsts"));
    const QJsonObject properties{{QStringLiteral("SandboxId"), QStringLiteral("RETAIL")},
                                 {QStringLiteral("UserTokens"), QJsonArray{userToken}}};
    const QJsonObject body{{QStringLiteral("Properties"), properties},
                           {QStringLiteral("RelyingParty"), kGameServicesRelyingParty},
                           {QStringLiteral("TokenType"), QStringLiteral("JWT")}};
    postJson(serviceUrl(Service::XboxXsts, kXstsPath), body, QString(),
             [this, refreshToken, done](int status, const QJsonObject& reply,
                                        const QString& networkError) {
                 if (!networkError.isEmpty()) {
                     done(unreachable("auth.msa.error.xstsUnreachable", networkError));
                     return;
                 }
                 if (status == 401) {
                     done(failure(xboxAccountError(reply)));
                     return;
                 }
                 if (status != kStatusOk) {
                     done(statusFailure(status, "auth.msa.error.xstsRejected",
                                        "auth.msa.error.xstsUnavailable"));
                     return;
                 }
                 const QJsonObject user = reply.value(QLatin1String("DisplayClaims"))
                                              .toObject()
                                              .value(QLatin1String("xui"))
                                              .toArray()
                                              .at(0)
                                              .toObject();
                 const QString xstsToken = text(reply, "Token");
                 const QString userHash = text(user, "uhs");
                 if (xstsToken.isEmpty() || userHash.isEmpty()) {
                     done(failure(Loc::text("auth.msa.error.xstsNoUser")));
                     return;
                 }
                 loginWithXbox(userHash, xstsToken, text(user, "xid"), refreshToken, done);
             });
}

void MsaAuthService::loginWithXbox(const QString& userHash, const QString& xstsToken,
                                   const QString& xuid, const QString& refreshToken,
                                   const AuthCallback& done)
{
    emit progress(Loc::text("auth.msa.progress.minecraftServices"));
    const QJsonObject body{{QStringLiteral("identityToken"),
                            QStringLiteral("XBL3.0 x=%1;%2").arg(userHash, xstsToken)}};
    postJson(serviceUrl(Service::GameServices, kMinecraftLoginPath), body, QString(),
             [this, xuid, refreshToken, done](int status, const QJsonObject& reply,
                                              const QString& networkError) {
                 if (!networkError.isEmpty()) {
                     done(unreachable("auth.msa.error.servicesUnreachable", networkError));
                     return;
                 }
                 if (status != kStatusOk) {
                     done(statusFailure(status, "auth.msa.error.servicesRejected",
                                        "auth.msa.error.servicesUnavailable"));
                     return;
                 }
                 AuthResult result;
                 result.accessToken = text(reply, "access_token");
                 if (result.accessToken.isEmpty()) {
                     done(failure(Loc::text("auth.msa.error.servicesNoToken")));
                     return;
                 }
                 const qint64 lifetime =
                     tokenLifetimeSeconds(reply.value(QLatin1String("expires_in")));
                 result.expiresAt = QDateTime::currentDateTimeUtc().addSecs(lifetime);
                 result.refreshToken = refreshToken;
                 result.xuid = xuid;
                 result.clientToken = clientId();
                 result.userType = kUserType;
                 fetchProfile(result, done);
             });
}

void MsaAuthService::fetchProfile(AuthResult result, const AuthCallback& done)
{
    const QString accessToken = result.accessToken;
    getJson(serviceUrl(Service::GameServices, kProfilePath), accessToken,
            [result = std::move(result), done](int status, const QJsonObject& reply,
                                               const QString& networkError) mutable {
                if (!networkError.isEmpty()) {
                    result.serviceUnavailable = true;
                    result.error =
                        Loc::text("auth.msa.error.servicesUnreachable").arg(networkError);
                } else if (status == 404 || status == 401) {
                    result.profileUnavailable = true;
                    result.error = Loc::text("auth.msa.error.noProfileYet");
                } else if (status == kStatusOk) {
                    result.name = text(reply, "name");
                    result.uuid = text(reply, "id").remove(QLatin1Char('-'));
                    result.ok = !result.name.isEmpty() && !result.uuid.isEmpty();
                    if (!result.ok) {
                        result.profileUnavailable = true;
                        result.error = Loc::text("auth.msa.error.servicesNoProfile");
                    }
                } else {
                    result.serviceUnavailable = unavailableNow(status);
                    result.error = Loc::text("auth.msa.error.profileFetchFailed").arg(status);
                }
                done(result);
            });
}

void MsaAuthService::postForm(const QUrl& url, const QByteArray& form, ReplyHandler handler)
{
    whenFinished(HttpRequest::post(m_network, url, kRecipe, form,
                                   {{"Content-Type", "application/x-www-form-urlencoded"}}),
                 std::move(handler));
}

void MsaAuthService::postJson(const QUrl& url, const QJsonObject& body, const QString& bearer,
                              ReplyHandler handler)
{
    HttpRequest::Headers headers = jsonHeaders(bearer);
    headers.emplaceBack("Content-Type", "application/json");
    whenFinished(HttpRequest::post(m_network, url, kRecipe,
                                   QJsonDocument(body).toJson(QJsonDocument::Compact), headers),
                 std::move(handler));
}

void MsaAuthService::getJson(const QUrl& url, const QString& bearer, ReplyHandler handler)
{
    whenFinished(HttpRequest::get(m_network, url, kRecipe, jsonHeaders(bearer)),
                 std::move(handler));
}

void MsaAuthService::whenFinished(QNetworkReply* reply, ReplyHandler handler)
{
    connect(reply, &QNetworkReply::finished, this, [reply, handler = std::move(handler)] {
        const SignInReply answer = readSignInReply(reply);
        handler(answer.status, answer.body, answer.networkError);
    });
}
