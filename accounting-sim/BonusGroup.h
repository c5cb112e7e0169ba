#ifndef BONUSGROUP_H
#define BONUSGROUP_H

#include <QString>

/*!
    A group that earned bonus belongs to, as a till names it (the interface's
    AssetGroup): its id, when the bonus may first be spent and when what is
    left of it expires (milliseconds since the epoch, 0 for "not set"), and a
    weight that orders spending among groups that end together. A group
    with no id is no group: the bonus is plain balance.
*/
struct BonusGroup
{
    QString id;
    qint64 beginMs = 0;
    qint64 endMs = 0;
    int weight = 0;

    bool named() const { return !id.isEmpty(); }
    // Whether the group's dates mean anything to its bonus.
    bool dated() const { return beginMs > 0 || endMs > 0; }
};

#endif // BONUSGROUP_H
