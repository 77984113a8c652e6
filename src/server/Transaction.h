#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <stdexcept>

namespace quillet {

// One database transaction for the length of a scope: every way out of the scope that is not a
// commit (an early refusal, an exception) rolls it back, so no store operation can leave one open.
class Transaction {
public:
    explicit Transaction(QSqlDatabase &db) : m_db(db) {
        if (!m_db.transaction())
            throw std::runtime_error(m_db.lastError().text().toStdString());
    }
    ~Transaction() {
        if (m_open)
            m_db.rollback();
    }
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    void commit() {
        if (!m_db.commit())
            throw std::runtime_error(m_db.lastError().text().toStdString());
        m_open = false;
    }

private:
    QSqlDatabase &m_db;
    bool m_open = true;
};

} // namespace quillet
