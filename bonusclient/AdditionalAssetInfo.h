#ifndef ADDITIONALASSETINFO_H
#define ADDITIONALASSETINFO_H

#include <QDateTime>

// Extra data sent with a money operation (the plug-in's side of the record).
class AdditionalAssetInfo
{
public:
    QDateTime dateFromCash; // null unless set
};

#endif // ADDITIONALASSETINFO_H
