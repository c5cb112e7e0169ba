#ifndef ASSETGROUP_H
#define ASSETGROUP_H

#include <QDateTime>
#include <QString>

// The group an earned or debited amount belongs to (the plug-in's side).
class AssetGroup
{
public:
    QString groupId;
    QDateTime beginDate;
    QDateTime endDate;
    int weight = 0;
};

#endif // ASSETGROUP_H
