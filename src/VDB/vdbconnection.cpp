#include "VDB/vdbconnection.h"

#include "VCore/vexception.h"
#include "VDB/vdbconfigreader.h"
#include "VDB/vdbconnection_p.h"

VDbConnection::VDbConnection(QSqlDatabase qdb, VDb* conn, VDbConfigReader* configReader,
                             bool autoCommit)
    : m_vdb(conn), m_conn(qdb), m_autoCommit(autoCommit), m_configReader(configReader),
      m_isTempConnection(0), m_state(std::make_shared<VDbConnectionState>())
{
}

VDbConnection::~VDbConnection()
{
    if (m_conn.isOpen()) {
        if (m_autoCommit && !m_state->transactionLost)
            m_conn.commit();
        else
            m_conn.rollback();
        m_conn.close();
    }
}

bool VDbConnection::inTransaction() const
{
    return m_state->inTransaction;
}

void VDbConnection::reopen()
{
    m_conn.open();
    ++m_state->generation;
    m_state->endTransaction();
}

void VDbConnection::beginTransaction()
{
    if (!m_conn.transaction()) {
        const QSqlError error = m_conn.lastError();
        if (vdbIsLostConnection(error)) {
            if (m_state->inTransaction) {
                // Reopening would drop the open transaction's work unseen.
                m_state->markLostIfInTransaction(error.text());
                throw VException(QStringLiteral("Begin transaction operation failed, reason: ") +
                                 error.text());
            }
            // A failed reopen leaves its own error as the latest one.
            reopen();
            if (m_conn.transaction()) {
                m_state->inTransaction = true;
                return;
            }
        }
        throw VException(QStringLiteral("Begin transaction operation failed, reason: ") +
                         m_conn.lastError().text());
    }
    m_state->inTransaction = true;
}

void VDbConnection::commit()
{
    if (m_state->transactionLost) {
        const QString text = m_state->lostText;
        m_conn.rollback();
        m_state->endTransaction();
        throw VException(QStringLiteral("Commit operation failed, reason: ") + text);
    }
    if (!m_conn.commit()) {
        const QSqlError error = m_conn.lastError();
        // A lost session took its transaction along; otherwise it is still
        // open and the caller may roll it back.
        if (vdbIsLostConnection(error))
            m_state->endTransaction();
        throw VException(QStringLiteral("Commit operation failed, reason: ") + error.text());
    }
    m_state->endTransaction();
}

void VDbConnection::rollback()
{
    m_conn.rollback();
    m_state->endTransaction();
}

void VDbConnection::readDbConfig(QTextStream* xmlStream)
{
    if (m_configReader && xmlStream)
        m_configReader->parse(xmlStream);
}

VSafeSqlQuery VDbConnection::createQuery(const QString& queryName)
{
    if (!m_configReader)
        throw VException("NULL ConfigReader, can not create SqlQuery");
    const QString sql = m_configReader->getStatement(queryName);
    if (sql.isEmpty())
        throw VException(QStringLiteral("No such query: ") + queryName);
    VSafeSqlQuery q(getDatabase(), m_state);
    if (q.prepare(sql))
        return q;
    if (vdbIsLostConnection(q.lastError())) {
        if (m_state->inTransaction) {
            m_state->markLostIfInTransaction(q.lastError().text());
        } else {
            reopen();
            if (q.prepare(sql))
                return q;
        }
    }
    throw VException(QString("Sql query prepared failed: %1").arg(q.lastError().text()));
}
