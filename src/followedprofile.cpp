#include "followedprofile.h"

FollowedProfile FollowedProfile::at(const QList<Profile>& profiles, int position)
{
    return {profiles.at(position).id, position};
}

int FollowedProfile::positionIn(const QList<Profile>& profiles) const
{
    // As long as the list has not moved, the remembered position decides among equal ids.
    if (position >= 0 && position < profiles.size() && profiles.at(position).id == id)
        return position;
    for (qsizetype i = 0; i < profiles.size(); ++i) {
        if (profiles.at(i).id == id)
            return int(i);
    }
    return -1;
}
