#ifndef EFFECTIVESETTINGS_H
#define EFFECTIVESETTINGS_H

#include "BonusSettings.h"

#include <QString>

/*!
    The settings a run works with: the file as this run read it, and the
    values of the last good read with their defaults filled in, the status
    and print paths among them (TillPaths). Built in this one place.

    Invariant: the values never hold an empty path, an empty header or a
    zero width; a file that is missing or cannot be read leaves the values
    of the last good read, and so does a refused one (whose status must
    still land where the last good read said).
*/
class EffectiveSettings
{
public:
    EffectiveSettings();

    // Takes the file as read; answers false when it is refused (not JSON,
    // too large, or a value that cannot be used).
    bool apply(const BonusSettings &read);

    // The file as the last apply() was given it; the bonus client is
    // configured from the same.
    const BonusSettings &file() const { return read; }

    QString statusFile;
    QString printFile;
    int widthPrint;
    QString regexPattern;
    QString regexRule;
    QString header;

private:
    void fillDefaults();

    BonusSettings read;
};

#endif // EFFECTIVESETTINGS_H
