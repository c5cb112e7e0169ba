#ifndef LEDGERBACKUP_H
#define LEDGERBACKUP_H

#include <QString>

/*!
    A consistent copy of a SQLite ledger taken while servers write to it,
    through SQLite's online backup: the whole ledger is read in one read
    transaction, so the copy is the ledger as it stood at one moment, the
    write-ahead log's committed pages included (a plain copy of the file
    misses them). Writers go on meanwhile. The copy is written beside the
    target, checked (quick_check), synced, and renamed over the target only
    once whole, so a failed backup never leaves half a file.
*/
class LedgerBackup
{
public:
    struct Made
    {
        int pages = 0;
        qint64 bytes = 0;
        // When the copy's read began: the moment of the ledger it holds.
        QString at;
    };

    // Throws std::runtime_error with the reason.
    static Made copy(const QString &ledger, const QString &target);
};

#endif // LEDGERBACKUP_H
