#pragma once

#include "backendrecords.h"

#include <QString>
#include <QVariantMap>

struct AuthResult;

// The account a stored profile holds: its kind, the credentials the player gives it and
// the session a sign-in leaves in it. An edit voids the tokens that belonged to the
// account as it was; a sign-in stores only what its kind keeps.
class ProfileAccount {
public:
    // Only the exact stored spellings name the account kinds; anything else is offline.
    static QString normalizedAuthType(const QString& authType);

    // A profile as the player adds it, with the id given and a client token of its own.
    // Names and logins are kept on one line; each kind keeps only its own credentials.
    static Profile newProfile(int id, const QString& name, const QString& login,
                              const QString& password, const QString& authType);
    // A profile made by a Microsoft sign-in, named after its game profile.
    static Profile newMicrosoftProfile(int id, const AuthResult& result);

    // What the interface is shown of a profile: its fields as the player gave them, its
    // name as signed in and whether it holds a Microsoft session; no ids, no tokens.
    static QVariantMap shownFields(const Profile& profile);

    // Gives the profile the player's fields, by the rules of newProfile; a blank name keeps
    // the stored one. True when that makes it another account, so that a sign-in still
    // running for the account it held must not store into it.
    static bool edit(Profile& profile, const QString& name, const QString& login,
                     const QString& password, const QString& authType);

    // Stores what a launch's sign-in tells of the account; true when the profile changed
    // and must be saved. An offline sign-in stores nothing.
    static bool storeSignIn(Profile& profile, const AuthResult& result);
    // Stores a successful Microsoft sign-in: the tokens, the identity and the expiry.
    static void applyMicrosoftResult(Profile& profile, const AuthResult& result);

private:
    static void takeIdentity(Profile& profile, const AuthResult& result);
};
