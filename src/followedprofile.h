#pragma once

#include "backendrecords.h"

#include <QList>

// A profile followed while the list may change under it: by its id, the position it had
// only telling apart profiles that share an id (ids read from the file may repeat).
struct FollowedProfile {
    using Profile = ::Profile;

    int id = -1;
    int position = -1;

    static FollowedProfile at(const QList<Profile>& profiles, int position);
    // Where the profile is now; -1 once it is gone.
    int positionIn(const QList<Profile>& profiles) const;
};
