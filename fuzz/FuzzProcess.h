#ifndef FUZZPROCESS_H
#define FUZZPROCESS_H

#include <QString>

/*!
    What every harness runs in: a QCoreApplication (the SQL drivers are
    plug-ins, loaded through it) and a till root of its own, a fresh
    temporary directory named by TILLHOUSE_ROOT, so that whatever the code
    under test writes (the log, a ledger) stays there. The directory goes
    when the process exits normally; after a crash it is left for whoever
    reads the artifact, inside the temporary directory the caller gave.
*/
class FuzzProcess
{
public:
    // From LLVMFuzzerInitialize, once.
    static void start(int *argc, char ***argv);
    static QString root();
};

#endif // FUZZPROCESS_H
