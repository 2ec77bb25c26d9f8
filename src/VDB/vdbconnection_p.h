// State of one connection shared with the queries made on it.
// Thread-safety: one thread at a time, like the connection.
#ifndef VORNLIB_VDB_VDBCONNECTION_P_H
#define VORNLIB_VDB_VDBCONNECTION_P_H

#include <QString>
#include <QtGlobal>

struct VDbConnectionState
{
    // Between a successful beginTransaction() and commit()/rollback().
    bool inTransaction = false;
    // The connection was lost inside that transaction: its work is gone.
    bool transactionLost = false;
    QString lostText;
    // Counts reopens: statements prepared before one are prepared again.
    quint64 generation = 0;

    void markLostIfInTransaction(const QString& text)
    {
        if (inTransaction && !transactionLost) {
            transactionLost = true;
            lostText = text;
        }
    }
    void endTransaction()
    {
        inTransaction = false;
        transactionLost = false;
        lostText.clear();
    }
};

#endif
