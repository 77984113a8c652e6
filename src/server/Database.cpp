#include "server/Database.h"

#include "server/Transaction.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QScopeGuard>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlRecord>
#include <QUrl>
#include <QUrlQuery>
#include <QUuid>
#include <atomic>
#include <stdexcept>

namespace quillet {

namespace {

// Each version is applied once, in order, in one transaction. "%SERIAL%" is the one word the
// two dialects spell differently.
const char *const migrations[][16] = {
    {
        "CREATE TABLE users (id TEXT PRIMARY KEY, username TEXT NOT NULL UNIQUE, "
        "user_handle TEXT NOT NULL, created_at TEXT NOT NULL)",
        "CREATE TABLE passkeys (credential_id TEXT PRIMARY KEY, user_id TEXT NOT NULL "
        "REFERENCES users(id) ON DELETE CASCADE, public_key TEXT NOT NULL, sign_count BIGINT "
        "NOT NULL, created_at TEXT NOT NULL)",
        "CREATE TABLE challenges (challenge TEXT PRIMARY KEY, kind TEXT NOT NULL, username TEXT, "
        "user_handle TEXT, expires_at BIGINT NOT NULL)",
        "CREATE TABLE access_tokens (token_hash TEXT PRIMARY KEY, user_id TEXT NOT NULL "
        "REFERENCES users(id) ON DELETE CASCADE, family TEXT NOT NULL, expires_at BIGINT NOT "
        "NULL)",
        "CREATE TABLE refresh_tokens (token_hash TEXT PRIMARY KEY, user_id TEXT NOT NULL "
        "REFERENCES users(id) ON DELETE CASCADE, family TEXT NOT NULL, used INTEGER NOT NULL "
        "DEFAULT 0, expires_at BIGINT NOT NULL)",
        "CREATE TABLE api_keys (id TEXT PRIMARY KEY, user_id TEXT NOT NULL REFERENCES users(id) "
        "ON DELETE CASCADE, label TEXT NOT NULL, key_hash TEXT NOT NULL UNIQUE, created_at TEXT "
        "NOT NULL, last_used_at TEXT)",
        "CREATE TABLE pairing_codes (code TEXT PRIMARY KEY, user_id TEXT NOT NULL REFERENCES "
        "users(id) ON DELETE CASCADE, expires_at BIGINT NOT NULL)",
        "CREATE TABLE devices (id TEXT PRIMARY KEY, user_id TEXT NOT NULL REFERENCES users(id) "
        "ON DELETE CASCADE, device_name TEXT NOT NULL, device_type TEXT NOT NULL, token_hash "
        "TEXT NOT NULL UNIQUE, created_at TEXT NOT NULL, last_seen_at TEXT NOT NULL)",
        "CREATE TABLE sessions (id TEXT PRIMARY KEY, user_id TEXT NOT NULL REFERENCES users(id) "
        "ON DELETE CASCADE, agent_label TEXT NOT NULL, project_name TEXT, pane_target TEXT, "
        "status TEXT NOT NULL, content TEXT NOT NULL DEFAULT '', content_updated_at TEXT, "
        "created_at TEXT NOT NULL, updated_at TEXT NOT NULL)",
        "CREATE TABLE questions (id TEXT PRIMARY KEY, session_id TEXT NOT NULL REFERENCES "
        "sessions(id) ON DELETE CASCADE, user_id TEXT NOT NULL, question_text TEXT NOT NULL, "
        "context TEXT NOT NULL, status TEXT NOT NULL, reply_text TEXT, created_at TEXT NOT NULL, "
        "answered_at TEXT)",
        "CREATE TABLE inputs (seq %SERIAL%, id TEXT NOT NULL UNIQUE, session_id TEXT NOT NULL "
        "REFERENCES sessions(id) ON DELETE CASCADE, user_id TEXT NOT NULL, input_text TEXT, "
        "input_key TEXT, status TEXT NOT NULL, created_at TEXT NOT NULL, delivered_at TEXT)",
        "CREATE TABLE projects (user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE, id "
        "TEXT NOT NULL, position INTEGER NOT NULL, name TEXT NOT NULL, directory TEXT NOT NULL, "
        "tmux_session_name TEXT NOT NULL, launch_command TEXT NOT NULL, tool TEXT NOT NULL, "
        "auto_launch INTEGER NOT NULL, is_running INTEGER NOT NULL, uploaded_at TEXT NOT NULL, "
        "PRIMARY KEY (user_id, id))",
        "CREATE TABLE commands (id TEXT PRIMARY KEY, user_id TEXT NOT NULL REFERENCES users(id) "
        "ON DELETE CASCADE, project_id TEXT NOT NULL, command_type TEXT NOT NULL, status TEXT "
        "NOT NULL, error_message TEXT, created_at TEXT NOT NULL, updated_at TEXT NOT NULL)",
        "CREATE TABLE events (seq %SERIAL%, user_id TEXT NOT NULL, type TEXT NOT NULL, data "
        "TEXT NOT NULL, created_at BIGINT NOT NULL)",
        "CREATE INDEX events_by_user ON events (user_id, seq)",
        "CREATE INDEX questions_by_user ON questions (user_id, status)",
    },
    {
        // Web Push: where each paired phone's browser wants its notifications. The endpoint is
        // the browser's, so it is unique across devices and users.
        "CREATE TABLE push_subscriptions (id TEXT PRIMARY KEY, endpoint TEXT NOT NULL UNIQUE, "
        "device_id TEXT NOT NULL REFERENCES devices(id) ON DELETE CASCADE, user_id TEXT NOT NULL, "
        "p256dh TEXT NOT NULL, auth TEXT NOT NULL, created_at TEXT NOT NULL)",
        "CREATE INDEX push_subscriptions_by_user ON push_subscriptions (user_id)",
        // Values the whole installation shares, made once (the VAPID key pair).
        "CREATE TABLE server_settings (name TEXT PRIMARY KEY, value TEXT NOT NULL)",
    },
    {
        // Throttles count attempts here, so that every instance on one database sees them.
        "CREATE TABLE throttle_hits (bucket TEXT NOT NULL, key TEXT NOT NULL, at_ms BIGINT NOT "
        "NULL)",
        "CREATE INDEX throttle_hits_by_key ON throttle_hits (bucket, key, at_ms)",
    },
    {
        // The phone names each answer it sends, so that a send retried after its answer was
        // lost finds the first one instead of typing it twice.
        "ALTER TABLE inputs ADD COLUMN client_key TEXT",
        "CREATE UNIQUE INDEX inputs_by_client_key ON inputs (user_id, client_key)",
        "ALTER TABLE questions ADD COLUMN reply_key TEXT",
    },
};

// Instances on one PostgreSQL wake each other on this channel (payload: see announce()).
const QString wakeChannel = QStringLiteral("quillet_wake");
// Held while migrating, so that instances starting together apply each version once.
constexpr qint64 migrationLock = 0x71756c6c6574; // "quillet"
// The listening connection's name in pg_stat_activity, so that an operator can tell it apart.
const QString listenerName = QStringLiteral("quillet-listener");
// A lost listener costs missed wake-ups until it is noticed: look often, a query on an idle
// connection costs nothing. Reopening waits longer after each failure, up to the longest pause.
constexpr std::chrono::milliseconds listenerCheckEvery{1000};
constexpr std::chrono::milliseconds firstListenerRetry{250};
constexpr std::chrono::milliseconds longestListenerRetry{10000};

QString nowText() {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

qint64 nowSeconds() {
    return QDateTime::currentSecsSinceEpoch();
}

QString newId() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

// Pure columns of a JSON row that the wire shows as booleans.
void booleans(QJsonObject &row, std::initializer_list<const char *> names) {
    for (const char *name : names) {
        const QString key = QString::fromLatin1(name);
        if (row.contains(key))
            row.insert(key, row.value(key).toInteger() != 0);
    }
}

QVariant nullText() {
    return QVariant(QMetaType::fromType<QString>());
}

std::atomic<int> connectionCounter{0};

} // namespace

bool Database::isPostgresUrl(const QString &location) {
    return location.startsWith(QLatin1String("postgresql://")) ||
           location.startsWith(QLatin1String("postgres://"));
}

QSqlDatabase Database::openPostgres(const QString &location, const QString &connection,
                                    const QStringList &extraOptions) {
    const QUrl url(location);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connection);
    db.setHostName(url.host());
    if (url.port() > 0)
        db.setPort(url.port());
    db.setUserName(url.userName());
    db.setPassword(url.password());
    db.setDatabaseName(url.path().mid(1));
    const QUrlQuery query(url);
    // The URL's own options come after these, and so win. A host that stopped answering must
    // not hold the store thread for minutes.
    QStringList connectOptions{QStringLiteral("application_name=quillet-server"),
                               QStringLiteral("connect_timeout=5")};
    for (const auto &[key, value] : query.queryItems(QUrl::FullyDecoded))
        connectOptions << key + QLatin1Char('=') + value;
    connectOptions << extraOptions;
    db.setConnectOptions(connectOptions.join(QLatin1Char(';')));
    if (!db.isValid() || !db.open())
        throw std::runtime_error(QStringLiteral("cannot open the database: %1")
                                     .arg(db.lastError().text())
                                     .toStdString());
    // The server's notices ("relation already exists, skipping") are not the operator's news.
    QSqlQuery quiet(db);
    quiet.exec(QStringLiteral("SET client_min_messages TO warning"));
    return db;
}

Database::Database(const QString &location) {
    m_connection = QStringLiteral("quillet-server-%1").arg(++connectionCounter);
    m_instance = newId();
    if (isPostgresUrl(location)) {
        m_postgres = true;
        m_db = openPostgres(location, m_connection);
        // Notifications arrive on a connection of their own, which is idle and so hears them at
        // once instead of between the statements of the writer.
        m_location = location;
        listen();
        m_listenerCheck = std::make_unique<QTimer>();
        m_listenerCheck->setInterval(listenerCheckEvery);
        QObject::connect(m_listenerCheck.get(), &QTimer::timeout, m_listenerCheck.get(),
                         [this] { checkListener(); });
        m_listenerCheck->start();
    } else {
        QDir().mkpath(QFileInfo(location).absolutePath());
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
        m_db.setDatabaseName(location);
        m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    }
    if (!m_postgres && (!m_db.isValid() || !m_db.open()))
        throw std::runtime_error(QStringLiteral("cannot open the database: %1")
                                     .arg(m_db.lastError().text())
                                     .toStdString());
    if (!m_postgres) {
        // WAL lets readers go on while the one writer commits; NORMAL keeps a commit durable
        // across a crash of this process (only a power cut may lose the last transactions).
        for (const char *pragma :
             {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL", "PRAGMA foreign_keys=ON"}) {
            QSqlQuery query(m_db);
            if (!query.exec(QString::fromLatin1(pragma)))
                throw std::runtime_error(query.lastError().text().toStdString());
        }
        QFile::setPermissions(location, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    migrate();
}

Database::~Database() {
    m_queries.clear();
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connection);
    m_listenerCheck.reset();
    closeListener();
}

void Database::listen() {
    // Connecting and the check's query give up after a few seconds: the store thread waits on
    // them, and a host that stopped answering must not stall every request.
    m_listener = openPostgres(m_location, m_connection + QStringLiteral("-listen"),
                              {QStringLiteral("application_name=") + listenerName,
                               QStringLiteral("connect_timeout=3"),
                               QStringLiteral("tcp_user_timeout=3000")});
    QSqlDriver *driver = m_listener.driver();
    if (!driver->subscribeToNotification(wakeChannel))
        throw std::runtime_error(QStringLiteral("cannot listen for other instances: %1")
                                     .arg(m_listener.lastError().text())
                                     .toStdString());
    QObject::connect(driver, &QSqlDriver::notification, driver,
                     [this](const QString &, QSqlDriver::NotificationSource,
                            const QVariant &payload) { heard(payload.toString()); });
}

void Database::closeListener() {
    const QString name = m_connection + QStringLiteral("-listen");
    m_listener.close();
    m_listener = QSqlDatabase();
    if (QSqlDatabase::contains(name))
        QSqlDatabase::removeDatabase(name);
}

void Database::checkListener() {
    if (m_listenerRetry.count() == 0) {
        // The driver closes a connection it found broken; a query notices the rest.
        if (m_listener.isOpen() && QSqlQuery(m_listener).exec(QStringLiteral("SELECT 1")))
            return;
        // Once per loss: the attempts that follow are silent until one succeeds.
        qWarning("listener connection lost; reconnecting");
        closeListener();
        m_listenerRetry = firstListenerRetry;
    }
    try {
        listen();
    } catch (const std::exception &) {
        closeListener();
        m_listenerCheck->setInterval(m_listenerRetry);
        m_listenerRetry = std::min(m_listenerRetry * 2, longestListenerRetry);
        return;
    }
    m_listenerRetry = std::chrono::milliseconds(0);
    m_listenerCheck->setInterval(listenerCheckEvery);
    qInfo("listener connection back: every waiter looks again for what it missed");
    if (m_onWake)
        m_onWake(QString(), 0);
}

void Database::announce(const QString &userId) {
    if (!m_postgres)
        return;
    // The sending time lets the hearer measure how late wake-ups come.
    const QString payload =
        QStringLiteral("%1 %2 %3")
            .arg(m_instance, QString::number(QDateTime::currentMSecsSinceEpoch()), userId);
    try {
        select("SELECT pg_notify(:channel, :payload)",
               {{":channel", wakeChannel}, {":payload", payload}});
    } catch (const std::exception &error) {
        // The others then find the change at their next poll or heartbeat.
        qWarning("cannot wake the other instances: %s", error.what());
        reopenIfLost();
    }
}

void Database::reopenIfLost() {
    if (!m_postgres || (m_db.isOpen() && QSqlQuery(m_db).exec(QStringLiteral("SELECT 1"))))
        return;
    // Once per loss, however many requests fail until PostgreSQL is back.
    if (!m_connectionLost)
        qWarning("database connection lost; reconnecting");
    m_connectionLost = true;
    // Prepared statements belong to the connection that prepared them.
    m_queries.clear();
    m_db.close();
    if (!m_db.open())
        return; // the next failure tries again
    QSqlQuery(m_db).exec(QStringLiteral("SET client_min_messages TO warning"));
    m_connectionLost = false;
    qInfo("database connection back");
}

void Database::heard(const QString &payload) {
    const QStringList parts = payload.split(QLatin1Char(' '));
    if (parts.size() != 3 || parts.at(0) == m_instance || !m_onWake)
        return;
    m_onWake(parts.at(2), QDateTime::currentMSecsSinceEpoch() - parts.at(1).toLongLong());
}

QString Database::driverName() const {
    return m_postgres ? QStringLiteral("PostgreSQL") : QStringLiteral("SQLite");
}

void Database::migrate() {
    QSqlQuery query(m_db);
    if (m_postgres && !query.exec(QStringLiteral("SELECT pg_advisory_lock(%1)").arg(migrationLock)))
        throw std::runtime_error(query.lastError().text().toStdString());
    // A session-level lock outlives a failed transaction: give it back on every way out.
    const auto unlock = qScopeGuard([this] {
        QSqlQuery release(m_db);
        if (m_postgres)
            release.exec(QStringLiteral("SELECT pg_advisory_unlock(%1)").arg(migrationLock));
    });
    if (!query.exec(QStringLiteral(
            "CREATE TABLE IF NOT EXISTS schema_migrations (version INTEGER PRIMARY KEY)")))
        throw std::runtime_error(query.lastError().text().toStdString());
    const int current = schemaVersion();
    const int latest = int(std::size(migrations));
    if (current > latest)
        throw std::runtime_error("the database was made by a newer quillet-server");
    for (int version = current + 1; version <= latest; ++version) {
        Transaction transaction(m_db);
        for (const char *statement : migrations[version - 1]) {
            if (!statement)
                break;
            QString sql = QString::fromLatin1(statement);
            sql.replace(QStringLiteral("%SERIAL%"),
                        m_postgres ? QStringLiteral("BIGSERIAL PRIMARY KEY")
                                   : QStringLiteral("INTEGER PRIMARY KEY AUTOINCREMENT"));
            QSqlQuery step(m_db);
            if (!step.exec(sql))
                throw std::runtime_error(QStringLiteral("migration %1: %2")
                                             .arg(version)
                                             .arg(step.lastError().text())
                                             .toStdString());
        }
        change("INSERT INTO schema_migrations (version) VALUES (:v)", {{":v", version}});
        transaction.commit();
    }
}

int Database::schemaVersion() {
    const auto row = selectOne("SELECT MAX(version) AS v FROM schema_migrations", {});
    return row ? row->value(QStringLiteral("v")).toInt() : 0;
}

QSqlQuery &Database::prepared(const char *sql) {
    auto found = m_queries.find(sql);
    if (found == m_queries.end()) {
        QSqlQuery query(m_db);
        if (!query.prepare(QString::fromLatin1(sql)))
            throw std::runtime_error(
                QStringLiteral("cannot prepare: %1").arg(query.lastError().text()).toStdString());
        found = m_queries.insert(sql, query);
    }
    return *found;
}

QSqlQuery &Database::execute(const char *sql, Bindings bindings) {
    QSqlQuery &query = prepared(sql);
    for (const auto &[name, value] : bindings)
        query.bindValue(QString::fromLatin1(name), value);
    if (!query.exec()) {
        const QString error = query.lastError().text();
        query.finish();
        throw std::runtime_error(QStringLiteral("database: %1").arg(error).toStdString());
    }
    return query;
}

QJsonArray Database::select(const char *sql, Bindings bindings) {
    QSqlQuery &query = execute(sql, bindings);
    QJsonArray rows;
    while (query.next()) {
        const QSqlRecord record = query.record();
        QJsonObject row;
        for (int i = 0; i < record.count(); ++i) {
            const QVariant value = record.value(i);
            row.insert(record.fieldName(i), value.isNull() ? QJsonValue(QJsonValue::Null)
                                                           : QJsonValue::fromVariant(value));
        }
        rows.append(row);
    }
    // A statement left open would hold SQLite's read snapshot (and block checkpoints).
    query.finish();
    return rows;
}

std::optional<QJsonObject> Database::selectOne(const char *sql, Bindings bindings) {
    const QJsonArray rows = select(sql, bindings);
    if (rows.isEmpty())
        return std::nullopt;
    return rows.first().toObject();
}

int Database::change(const char *sql, Bindings bindings) {
    QSqlQuery &query = execute(sql, bindings);
    const int affected = query.numRowsAffected();
    query.finish();
    return affected;
}

// --- credentials -------------------------------------------------------------------------------

std::optional<Caller> Database::authenticate(CredentialKind kind, const QString &tokenHash) {
    std::optional<QJsonObject> row;
    switch (kind) {
    case CredentialKind::agentKey:
        row = selectOne("SELECT id, user_id, last_used_at AS seen FROM api_keys WHERE "
                        "key_hash = :h",
                        {{":h", tokenHash}});
        break;
    case CredentialKind::accessToken:
        row = selectOne("SELECT family AS id, user_id FROM access_tokens WHERE token_hash = :h "
                        "AND expires_at > :now",
                        {{":h", tokenHash}, {":now", nowSeconds()}});
        break;
    case CredentialKind::deviceToken:
        row = selectOne("SELECT id, user_id, last_seen_at AS seen FROM devices WHERE "
                        "token_hash = :h",
                        {{":h", tokenHash}});
        break;
    case CredentialKind::none:
        break;
    }
    if (!row)
        return std::nullopt;
    Caller caller{kind, row->value(QStringLiteral("user_id")).toString(),
                  row->value(QStringLiteral("id")).toString()};
    // "Last seen" to the minute: one write a minute per credential, not one per request.
    const QDateTime seen =
        QDateTime::fromString(row->value(QStringLiteral("seen")).toString(), Qt::ISODateWithMs);
    if (kind != CredentialKind::accessToken &&
        (!seen.isValid() || seen.secsTo(QDateTime::currentDateTimeUtc()) >= 60)) {
        if (kind == CredentialKind::agentKey)
            change("UPDATE api_keys SET last_used_at = :now WHERE id = :id",
                   {{":now", nowText()}, {":id", caller.credentialId}});
        else
            change("UPDATE devices SET last_seen_at = :now WHERE id = :id",
                   {{":now", nowText()}, {":id", caller.credentialId}});
    }
    return caller;
}

void Database::putChallenge(const QString &challenge, const QString &kind, const QString &username,
                            const QString &userHandle, qint64 lifetimeSeconds) {
    const qint64 now = nowSeconds();
    change("DELETE FROM challenges WHERE expires_at <= :now", {{":now", now}});
    change("INSERT INTO challenges (challenge, kind, username, user_handle, expires_at) VALUES "
           "(:c, :k, :u, :h, :e)",
           {{":c", challenge},
            {":k", kind},
            {":u", username.isNull() ? nullText() : QVariant(username)},
            {":h", userHandle.isNull() ? nullText() : QVariant(userHandle)},
            {":e", now + lifetimeSeconds}});
}

std::optional<Database::Challenge> Database::takeChallenge(const QString &challenge,
                                                           const QString &kind) {
    const auto row = selectOne("DELETE FROM challenges WHERE challenge = :c RETURNING kind, "
                               "username, user_handle, expires_at",
                               {{":c", challenge}});
    if (!row || row->value(QStringLiteral("kind")).toString() != kind ||
        row->value(QStringLiteral("expires_at")).toInteger() <= nowSeconds())
        return std::nullopt;
    return Challenge{kind, row->value(QStringLiteral("username")).toString(),
                     row->value(QStringLiteral("user_handle")).toString()};
}

qint64 Database::userCount() {
    return selectOne("SELECT COUNT(*) AS n FROM users", {})->value(QStringLiteral("n")).toInteger();
}

bool Database::usernameTaken(const QString &username) {
    return selectOne("SELECT id FROM users WHERE username = :u", {{":u", username}}).has_value();
}

StoreReply Database::createUser(const QString &username, const QString &userHandle,
                                const QString &credentialId, const QString &publicKey,
                                quint32 signCount, bool registrationOpen) {
    Transaction transaction(m_db);
    if (!registrationOpen && userCount() > 0)
        return StoreReply::refused(QStringLiteral("Registration is closed on this server."));
    if (usernameTaken(username))
        return StoreReply::conflict(QStringLiteral("That user name is taken."));
    if (passkey(credentialId))
        return StoreReply::conflict(QStringLiteral("That passkey is already registered."));
    const QString id = newId();
    const QString now = nowText();
    change("INSERT INTO users (id, username, user_handle, created_at) VALUES (:id, :u, :h, "
           ":now)",
           {{":id", id}, {":u", username}, {":h", userHandle}, {":now", now}});
    change("INSERT INTO passkeys (credential_id, user_id, public_key, sign_count, created_at) "
           "VALUES (:c, :id, :k, :n, :now)",
           {{":c", credentialId},
            {":id", id},
            {":k", publicKey},
            {":n", qint64(signCount)},
            {":now", now}});
    transaction.commit();
    return StoreReply::found(id, id);
}

std::optional<Database::Passkey> Database::passkey(const QString &credentialId) {
    const auto row =
        selectOne("SELECT user_id, public_key, sign_count FROM passkeys WHERE credential_id = :c",
                  {{":c", credentialId}});
    if (!row)
        return std::nullopt;
    return Passkey{row->value(QStringLiteral("user_id")).toString(),
                   row->value(QStringLiteral("public_key")).toString(),
                   quint32(row->value(QStringLiteral("sign_count")).toInteger())};
}

QString Database::userHandleOf(const QString &userId) {
    const auto row = selectOne("SELECT user_handle FROM users WHERE id = :id", {{":id", userId}});
    return row ? row->value(QStringLiteral("user_handle")).toString() : QString();
}

bool Database::advanceSignCount(const QString &credentialId, quint32 from, quint32 to) {
    return change("UPDATE passkeys SET sign_count = :to WHERE credential_id = :c AND sign_count "
                  "= :from",
                  {{":to", qint64(to)}, {":c", credentialId}, {":from", qint64(from)}}) == 1;
}

void Database::storeTokens(const QString &userId, const QString &family, const TokenPair &tokens,
                           qint64 now) {
    change("INSERT INTO access_tokens (token_hash, user_id, family, expires_at) VALUES (:h, "
           ":u, :f, :e)",
           {{":h", tokens.accessHash},
            {":u", userId},
            {":f", family},
            {":e", now + tokens.accessLifetime}});
    change("INSERT INTO refresh_tokens (token_hash, user_id, family, used, expires_at) VALUES "
           "(:h, :u, :f, 0, :e)",
           {{":h", tokens.refreshHash},
            {":u", userId},
            {":f", family},
            {":e", now + tokens.refreshLifetime}});
}

void Database::issueTokens(const QString &userId, const TokenPair &tokens) {
    const qint64 now = nowSeconds();
    const QString family = newId();
    Transaction transaction(m_db);
    change("DELETE FROM access_tokens WHERE expires_at <= :now", {{":now", now}});
    change("DELETE FROM refresh_tokens WHERE expires_at <= :now", {{":now", now}});
    storeTokens(userId, family, tokens, now);
    transaction.commit();
}

StoreReply Database::rotateRefreshToken(const QString &refreshHash, const TokenPair &next) {
    const qint64 now = nowSeconds();
    Transaction transaction(m_db);
    const auto row = selectOne("SELECT user_id, family, used, expires_at FROM refresh_tokens "
                               "WHERE token_hash = :h",
                               {{":h", refreshHash}});
    if (!row || row->value(QStringLiteral("expires_at")).toInteger() <= now)
        return StoreReply::notFound();
    const QString userId = row->value(QStringLiteral("user_id")).toString();
    const QString family = row->value(QStringLiteral("family")).toString();
    if (row->value(QStringLiteral("used")).toInteger() != 0) {
        // The token was traded before: one of the two holders is not the user. End the
        // whole family, so both must sign in again.
        change("DELETE FROM refresh_tokens WHERE family = :f", {{":f", family}});
        change("DELETE FROM access_tokens WHERE family = :f", {{":f", family}});
        transaction.commit();
        StoreReply reply = StoreReply::refused(QStringLiteral("refresh token reused"));
        reply.userId = userId;
        return reply;
    }
    change("UPDATE refresh_tokens SET used = 1 WHERE token_hash = :h", {{":h", refreshHash}});
    storeTokens(userId, family, next, now);
    transaction.commit();
    return StoreReply::found(userId, userId);
}

QJsonObject Database::createApiKey(const QString &userId, const QString &label,
                                   const QString &keyHash) {
    const QString id = newId();
    change("INSERT INTO api_keys (id, user_id, label, key_hash, created_at) VALUES (:id, :u, :l, "
           ":h, :now)",
           {{":id", id}, {":u", userId}, {":l", label}, {":h", keyHash}, {":now", nowText()}});
    return QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("label"), label}};
}

bool Database::deleteApiKey(const QString &userId, const QString &id) {
    return change("DELETE FROM api_keys WHERE id = :id AND user_id = :u",
                  {{":id", id}, {":u", userId}}) == 1;
}

QJsonArray Database::apiKeys(const QString &userId) {
    return select("SELECT id, label, created_at, last_used_at FROM api_keys WHERE user_id = :u "
                  "ORDER BY created_at",
                  {{":u", userId}});
}

void Database::createPairingCode(const QString &userId, const QString &code,
                                 qint64 lifetimeSeconds) {
    const qint64 now = nowSeconds();
    change("DELETE FROM pairing_codes WHERE expires_at <= :now", {{":now", now}});
    change("INSERT INTO pairing_codes (code, user_id, expires_at) VALUES (:c, :u, :e) ON "
           "CONFLICT (code) DO UPDATE SET user_id = excluded.user_id, expires_at = "
           "excluded.expires_at",
           {{":c", code}, {":u", userId}, {":e", now + lifetimeSeconds}});
}

StoreReply Database::completePairing(const QString &code, const QString &deviceName,
                                     const QString &deviceType, const QString &tokenHash) {
    Transaction transaction(m_db);
    const auto row = selectOne(
        "DELETE FROM pairing_codes WHERE code = :c RETURNING user_id, expires_at", {{":c", code}});
    if (!row || row->value(QStringLiteral("expires_at")).toInteger() <= nowSeconds()) {
        transaction.commit();
        return StoreReply::notFound();
    }
    const QString userId = row->value(QStringLiteral("user_id")).toString();
    const QString id = newId();
    const QString now = nowText();
    change("INSERT INTO devices (id, user_id, device_name, device_type, token_hash, "
           "created_at, last_seen_at) VALUES (:id, :u, :n, :t, :h, :now, :now)",
           {{":id", id},
            {":u", userId},
            {":n", deviceName},
            {":t", deviceType},
            {":h", tokenHash},
            {":now", now}});
    addEvent(userId, QStringLiteral("device.paired"),
             {{QStringLiteral("device_id"), id}, {QStringLiteral("device_name"), deviceName}});
    transaction.commit();
    return StoreReply::found(id, userId);
}

qint64 Database::throttleWait(const QString &bucket, const QString &key, int limit,
                              qint64 windowMs) {
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const auto row = selectOne("SELECT COUNT(*) AS n, MIN(at_ms) AS oldest FROM throttle_hits "
                               "WHERE bucket = :b AND key = :k AND at_ms > :since",
                               {{":b", bucket}, {":k", key}, {":since", now - windowMs}});
    if (row->value(QStringLiteral("n")).toInteger() < limit)
        return 0;
    return std::max<qint64>(1, row->value(QStringLiteral("oldest")).toInteger() + windowMs - now);
}

void Database::recordAttempt(const QString &bucket, const QString &key, qint64 windowMs) {
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    Transaction transaction(m_db);
    change("DELETE FROM throttle_hits WHERE bucket = :b AND key = :k AND at_ms <= :since",
           {{":b", bucket}, {":k", key}, {":since", now - windowMs}});
    change("INSERT INTO throttle_hits (bucket, key, at_ms) VALUES (:b, :k, :now)",
           {{":b", bucket}, {":k", key}, {":now", now}});
    transaction.commit();
}

QJsonArray Database::devices(const QString &userId) {
    return select("SELECT id, device_name, device_type, created_at, last_seen_at FROM devices "
                  "WHERE user_id = :u ORDER BY created_at",
                  {{":u", userId}});
}

bool Database::deleteDevice(const QString &userId, const QString &id) {
    return change("DELETE FROM devices WHERE id = :id AND user_id = :u",
                  {{":id", id}, {":u", userId}}) == 1;
}

bool Database::deviceExists(const QString &userId, const QString &deviceId) {
    return selectOne("SELECT id FROM devices WHERE id = :id AND user_id = :u",
                     {{":id", deviceId}, {":u", userId}})
        .has_value();
}

// --- the agent's side --------------------------------------------------------------------------

std::optional<QJsonObject> Database::ownedSession(const QString &userId, const QString &sessionId) {
    return selectOne("SELECT id, agent_label, project_name, pane_target, status, "
                     "content_updated_at, created_at, updated_at FROM sessions WHERE id = :id "
                     "AND user_id = :u",
                     {{":id", sessionId}, {":u", userId}});
}

QJsonObject Database::createSession(const QString &userId, const QString &agentLabel,
                                    const QVariant &projectName, const QVariant &paneTarget) {
    const QString id = newId();
    const QString now = nowText();
    Transaction transaction(m_db);
    change("INSERT INTO sessions (id, user_id, agent_label, project_name, pane_target, "
           "status, created_at, updated_at) VALUES (:id, :u, :l, :p, :t, 'active', :now, "
           ":now)",
           {{":id", id},
            {":u", userId},
            {":l", agentLabel},
            {":p", projectName.isNull() ? nullText() : projectName},
            {":t", paneTarget.isNull() ? nullText() : paneTarget},
            {":now", now}});
    QJsonObject session = *ownedSession(userId, id);
    addEvent(userId, QStringLiteral("session.opened"), session);
    transaction.commit();
    return session;
}

StoreReply Database::closeSession(const QString &userId, const QString &sessionId) {
    Transaction transaction(m_db);
    const int changed = change("UPDATE sessions SET status = 'closed', updated_at = :now "
                               "WHERE id = :id AND user_id = :u AND status <> 'closed'",
                               {{":now", nowText()}, {":id", sessionId}, {":u", userId}});
    const auto session = ownedSession(userId, sessionId);
    if (!session)
        return StoreReply::notFound();
    if (changed == 1) {
        // The questions of a closed pane can no longer be answered there.
        change("UPDATE questions SET status = 'expired' WHERE session_id = :id AND status = "
               "'pending'",
               {{":id", sessionId}});
        addEvent(userId, QStringLiteral("session.closed"),
                 {{QStringLiteral("session_id"), sessionId}});
    }
    transaction.commit();
    return StoreReply::found(*session, userId);
}

StoreReply Database::streamContent(const QString &userId, const QString &sessionId,
                                   const QString &content) {
    Transaction transaction(m_db);
    const QString now = nowText();
    const int changed =
        change("UPDATE sessions SET content = :c, content_updated_at = :now, updated_at = "
               ":now WHERE id = :id AND user_id = :u AND content <> :c",
               {{":c", content}, {":now", now}, {":id", sessionId}, {":u", userId}});
    if (changed == 0 && !ownedSession(userId, sessionId))
        return StoreReply::notFound();
    if (changed == 1)
        addEvent(userId, QStringLiteral("session.screen"),
                 {{QStringLiteral("session_id"), sessionId},
                  {QStringLiteral("content_updated_at"), now}});
    transaction.commit();
    return StoreReply::found(changed == 1, userId);
}

StoreReply Database::postQuestion(const QString &userId, const QString &sessionId,
                                  const QString &context, const QString &questionText) {
    Transaction transaction(m_db);
    const auto session = ownedSession(userId, sessionId);
    if (!session)
        return StoreReply::notFound();
    if (session->value(QStringLiteral("status")).toString() == QLatin1String("closed"))
        return StoreReply::conflict(QStringLiteral("The session is closed."));
    const QString id = newId();
    const QString now = nowText();
    change("INSERT INTO questions (id, session_id, user_id, question_text, context, status, "
           "created_at) VALUES (:id, :s, :u, :q, :c, 'pending', :now)",
           {{":id", id},
            {":s", sessionId},
            {":u", userId},
            {":q", questionText},
            {":c", context},
            {":now", now}});
    const QJsonObject question{
        {QStringLiteral("id"), id},
        {QStringLiteral("session_id"), sessionId},
        {QStringLiteral("question_text"), questionText},
        {QStringLiteral("context"), context},
        {QStringLiteral("status"), QStringLiteral("pending")},
        {QStringLiteral("created_at"), now},
        {QStringLiteral("project_name"), session->value(QStringLiteral("project_name"))},
        {QStringLiteral("pane_target"), session->value(QStringLiteral("pane_target"))},
    };
    addEvent(userId, QStringLiteral("question.posted"), question);
    transaction.commit();
    return StoreReply::found(question, userId);
}

StoreReply Database::expireQuestion(const QString &userId, const QString &sessionId,
                                    const QString &questionId) {
    Transaction transaction(m_db);
    const auto row = selectOne("SELECT status FROM questions WHERE id = :q AND session_id = "
                               ":s AND user_id = :u",
                               {{":q", questionId}, {":s", sessionId}, {":u", userId}});
    if (!row)
        return StoreReply::notFound();
    const QString status = row->value(QStringLiteral("status")).toString();
    if (status == QLatin1String("answered"))
        return StoreReply::conflict(QStringLiteral("The question was answered already."));
    if (status == QLatin1String("pending")) {
        change("UPDATE questions SET status = 'expired' WHERE id = :q", {{":q", questionId}});
        addEvent(userId, QStringLiteral("question.expired"),
                 {{QStringLiteral("question_id"), questionId},
                  {QStringLiteral("session_id"), sessionId}});
    }
    transaction.commit();
    return StoreReply::found(QJsonObject{{QStringLiteral("id"), questionId},
                                         {QStringLiteral("status"), QStringLiteral("expired")}},
                             userId);
}

StoreReply Database::question(const QString &userId, const QString &sessionId,
                              const QString &questionId) {
    const auto row = selectOne("SELECT id, session_id, status, reply_text, answered_at FROM "
                               "questions WHERE id = :q AND session_id = :s AND user_id = :u",
                               {{":q", questionId}, {":s", sessionId}, {":u", userId}});
    if (!row)
        return StoreReply::notFound();
    return StoreReply::found(*row, userId);
}

StoreReply Database::pendingInputs(const QString &userId, const QString &sessionId) {
    if (!ownedSession(userId, sessionId))
        return StoreReply::notFound();
    const QJsonArray rows = select("SELECT id, input_text, input_key, created_at FROM inputs "
                                   "WHERE session_id = :s AND user_id = :u AND status = "
                                   "'pending' ORDER BY seq",
                                   {{":s", sessionId}, {":u", userId}});
    QJsonArray inputs;
    for (const QJsonValue &value : rows) {
        // One kind per input: text to type, or a named key to press (member "key").
        QJsonObject input = value.toObject();
        const QJsonValue key = input.take(QStringLiteral("input_key"));
        if (input.value(QStringLiteral("input_text")).isNull())
            input.remove(QStringLiteral("input_text"));
        if (!key.isNull())
            input.insert(QStringLiteral("key"), key);
        inputs.append(input);
    }
    return StoreReply::found(inputs, userId);
}

StoreReply Database::deliverInput(const QString &userId, const QString &sessionId,
                                  const QString &inputId) {
    Transaction transaction(m_db);
    const auto row = selectOne("SELECT status FROM inputs WHERE id = :i AND session_id = :s "
                               "AND user_id = :u",
                               {{":i", inputId}, {":s", sessionId}, {":u", userId}});
    if (!row)
        return StoreReply::notFound();
    if (row->value(QStringLiteral("status")).toString() == QLatin1String("pending")) {
        change("UPDATE inputs SET status = 'delivered', delivered_at = :now WHERE id = :i",
               {{":now", nowText()}, {":i", inputId}});
        addEvent(
            userId, QStringLiteral("input.delivered"),
            {{QStringLiteral("input_id"), inputId}, {QStringLiteral("session_id"), sessionId}});
    }
    transaction.commit();
    return StoreReply::found(QJsonObject{{QStringLiteral("id"), inputId},
                                         {QStringLiteral("status"), QStringLiteral("delivered")}},
                             userId);
}

QJsonArray Database::pendingCommands(const QString &userId) {
    return select("SELECT id, project_id, command_type, created_at FROM commands WHERE user_id = "
                  ":u AND status = 'pending' ORDER BY created_at",
                  {{":u", userId}});
}

StoreReply Database::updateCommand(const QString &userId, const QString &commandId,
                                   const QString &status, const QVariant &errorMessage) {
    Transaction transaction(m_db);
    const int changed =
        change("UPDATE commands SET status = :s, error_message = :e, updated_at = :now WHERE id = "
               ":id AND user_id = :u",
               {{":s", status},
                {":e", errorMessage.isNull() ? nullText() : errorMessage},
                {":now", nowText()},
                {":id", commandId},
                {":u", userId}});
    if (changed == 0)
        return StoreReply::notFound();
    const QJsonObject command =
        *selectOne("SELECT id, project_id, command_type, status, error_message, created_at, "
                   "updated_at FROM commands WHERE id = :id",
                   {{":id", commandId}});
    addEvent(userId, QStringLiteral("command.status"), command);
    transaction.commit();
    return StoreReply::found(command, userId);
}

void Database::replaceProjects(const QString &userId, const QJsonArray &projects) {
    const QString now = nowText();
    static const QStringList fields{QStringLiteral("id"),
                                    QStringLiteral("name"),
                                    QStringLiteral("directory"),
                                    QStringLiteral("tmux_session_name"),
                                    QStringLiteral("launch_command"),
                                    QStringLiteral("tool"),
                                    QStringLiteral("auto_launch"),
                                    QStringLiteral("is_running")};
    QJsonArray current;
    for (const QJsonValue &value : this->projects(userId)) {
        QJsonObject row;
        for (const QString &field : fields)
            row.insert(field, value.toObject().value(field));
        current.append(row);
    }
    QJsonArray incoming;
    for (const QJsonValue &value : projects) {
        QJsonObject row;
        for (const QString &field : fields)
            row.insert(field, value.toObject().value(field));
        incoming.append(row);
    }
    Transaction transaction(m_db);
    // The agent uploads the same list every few seconds; only a change is news.
    if (current == incoming) {
        change("UPDATE projects SET uploaded_at = :now WHERE user_id = :u",
               {{":now", now}, {":u", userId}});
        transaction.commit();
        return;
    }
    change("DELETE FROM projects WHERE user_id = :u", {{":u", userId}});
    int position = 0;
    for (const QJsonValue &value : incoming) {
        const QJsonObject p = value.toObject();
        change("INSERT INTO projects (user_id, id, position, name, directory, "
               "tmux_session_name, launch_command, tool, auto_launch, is_running, "
               "uploaded_at) VALUES (:u, :id, :pos, :n, :d, :t, :l, :tool, :a, :r, :now) ON "
               "CONFLICT (user_id, id) DO UPDATE SET position = excluded.position, name = "
               "excluded.name, directory = excluded.directory, tmux_session_name = "
               "excluded.tmux_session_name, launch_command = excluded.launch_command, tool "
               "= excluded.tool, auto_launch = excluded.auto_launch, is_running = "
               "excluded.is_running",
               {{":u", userId},
                {":id", p.value(QStringLiteral("id")).toString()},
                {":pos", position++},
                {":n", p.value(QStringLiteral("name")).toString()},
                {":d", p.value(QStringLiteral("directory")).toString()},
                {":t", p.value(QStringLiteral("tmux_session_name")).toString()},
                {":l", p.value(QStringLiteral("launch_command")).toString()},
                {":tool", p.value(QStringLiteral("tool")).toString()},
                {":a", p.value(QStringLiteral("auto_launch")).toBool() ? 1 : 0},
                {":r", p.value(QStringLiteral("is_running")).toBool() ? 1 : 0},
                {":now", now}});
    }
    addEvent(userId, QStringLiteral("projects.uploaded"),
             {{QStringLiteral("count"), incoming.size()}, {QStringLiteral("uploaded_at"), now}});
    transaction.commit();
}

// --- the phone's side --------------------------------------------------------------------------

QJsonArray Database::sessions(const QString &userId) {
    QJsonArray rows = select(
        "SELECT s.id, s.agent_label, s.project_name, s.pane_target, s.status, "
        "s.content_updated_at, s.created_at, s.updated_at, q.id AS question_id, "
        "q.question_text AS question_text FROM sessions s LEFT JOIN questions q ON "
        "q.session_id = s.id AND q.status = 'pending' AND q.created_at = (SELECT MAX(created_at) "
        "FROM questions WHERE session_id = s.id AND status = 'pending') WHERE s.user_id = :u "
        "ORDER BY s.status = 'closed', s.updated_at DESC",
        {{":u", userId}});
    QJsonArray sessions;
    for (const QJsonValue &value : rows) {
        QJsonObject session = value.toObject();
        const QJsonValue questionId = session.take(QStringLiteral("question_id"));
        const QJsonValue text = session.take(QStringLiteral("question_text"));
        session.insert(QStringLiteral("pending_question"),
                       questionId.isNull() ? QJsonValue(QJsonValue::Null)
                                           : QJsonObject{{QStringLiteral("id"), questionId},
                                                         {QStringLiteral("question_text"), text}});
        sessions.append(session);
    }
    return sessions;
}

StoreReply Database::session(const QString &userId, const QString &sessionId) {
    const auto row = selectOne("SELECT id, agent_label, project_name, pane_target, status, "
                               "content, content_updated_at, created_at, updated_at FROM sessions "
                               "WHERE id = :id AND user_id = :u",
                               {{":id", sessionId}, {":u", userId}});
    if (!row)
        return StoreReply::notFound();
    return StoreReply::found(*row, userId);
}

QJsonArray Database::questions(const QString &userId, const QString &status) {
    return select("SELECT q.id, q.session_id, q.question_text, q.context, q.status, "
                  "q.reply_text, q.created_at, q.answered_at, s.project_name, s.pane_target "
                  "FROM questions q JOIN sessions s ON s.id = q.session_id WHERE q.user_id = :u "
                  "AND (:s = '' OR q.status = :s) ORDER BY q.created_at DESC",
                  {{":u", userId}, {":s", status}});
}

StoreReply Database::answerQuestion(const QString &userId, const QString &questionId,
                                    const QString &replyText, const QString &clientKey) {
    Transaction transaction(m_db);
    const QString now = nowText();
    const int changed =
        change("UPDATE questions SET status = 'answered', reply_text = :r, answered_at = :now, "
               "reply_key = :k WHERE id = :q AND user_id = :u AND status = 'pending'",
               {{":r", replyText},
                {":now", now},
                {":k", clientKey.isEmpty() ? nullText() : clientKey},
                {":q", questionId},
                {":u", userId}});
    auto row = selectOne("SELECT id, session_id, status, reply_text, answered_at, reply_key FROM "
                         "questions WHERE id = :q AND user_id = :u",
                         {{":q", questionId}, {":u", userId}});
    if (!row)
        return StoreReply::notFound();
    const QString storedKey = row->take(QStringLiteral("reply_key")).toString();
    if (changed == 0) {
        // This phone's own answer, sent again: it was taken the first time.
        if (!clientKey.isEmpty() && storedKey == clientKey)
            return StoreReply::found(*row, userId);
        return StoreReply::conflict(QStringLiteral("The question is %1.")
                                        .arg(row->value(QStringLiteral("status")).toString()));
    }
    addEvent(userId, QStringLiteral("question.answered"),
             {{QStringLiteral("question_id"), questionId},
              {QStringLiteral("session_id"), row->value(QStringLiteral("session_id"))}});
    transaction.commit();
    return StoreReply::found(*row, userId);
}

StoreReply Database::addInput(const QString &userId, const QString &sessionId, const QVariant &text,
                              const QVariant &key, const QString &clientKey) {
    Transaction transaction(m_db);
    const auto session = ownedSession(userId, sessionId);
    if (!session)
        return StoreReply::notFound();
    const auto inputOf = [](const QJsonObject &row) {
        QJsonObject input;
        for (const char *field : {"id", "session_id", "status", "created_at", "input_text"})
            input.insert(QLatin1String(field), row.value(QLatin1String(field)));
        if (const QJsonValue named = row.value(QStringLiteral("input_key")); named.isString())
            input.insert(QStringLiteral("key"), named);
        if (input.value(QStringLiteral("input_text")).isNull())
            input.remove(QStringLiteral("input_text"));
        return input;
    };
    if (!clientKey.isEmpty()) {
        // This phone's own input, sent again: it was taken the first time (and may be typed by
        // now), so it is answered as then and not added twice.
        if (const auto sent = selectOne("SELECT id, session_id, status, created_at, input_text, "
                                        "input_key FROM inputs WHERE user_id = :u AND "
                                        "client_key = :k",
                                        {{":u", userId}, {":k", clientKey}})) {
            if (sent->value(QStringLiteral("session_id")).toString() != sessionId)
                return StoreReply::conflict(
                    QStringLiteral("This Idempotency-Key was sent for another session."));
            return StoreReply::found(inputOf(*sent), userId);
        }
    }
    if (session->value(QStringLiteral("status")).toString() == QLatin1String("closed"))
        return StoreReply::conflict(QStringLiteral("The session is closed."));
    const QString id = newId();
    const QString now = nowText();
    change("INSERT INTO inputs (id, session_id, user_id, input_text, input_key, status, "
           "created_at, client_key) VALUES (:id, :s, :u, :t, :k, 'pending', :now, :c)",
           {{":id", id},
            {":s", sessionId},
            {":u", userId},
            {":t", text.isNull() ? nullText() : text},
            {":k", key.isNull() ? nullText() : key},
            {":now", now},
            {":c", clientKey.isEmpty() ? nullText() : clientKey}});
    const QJsonObject input =
        inputOf({{QStringLiteral("id"), id},
                 {QStringLiteral("session_id"), sessionId},
                 {QStringLiteral("status"), QStringLiteral("pending")},
                 {QStringLiteral("created_at"), now},
                 {QStringLiteral("input_text"), QJsonValue::fromVariant(text)},
                 {QStringLiteral("input_key"), QJsonValue::fromVariant(key)}});
    addEvent(userId, QStringLiteral("input.added"), input);
    transaction.commit();
    return StoreReply::found(input, userId);
}

QJsonArray Database::projects(const QString &userId) {
    QJsonArray rows = select("SELECT id, name, directory, tmux_session_name, launch_command, "
                             "tool, auto_launch, is_running, uploaded_at FROM projects WHERE "
                             "user_id = :u ORDER BY position",
                             {{":u", userId}});
    for (QJsonValueRef value : rows) {
        QJsonObject row = value.toObject();
        booleans(row, {"auto_launch", "is_running"});
        value = row;
    }
    return rows;
}

StoreReply Database::createCommand(const QString &userId, const QString &projectId,
                                   const QString &commandType) {
    Transaction transaction(m_db);
    if (!selectOne("SELECT id FROM projects WHERE user_id = :u AND id = :p",
                   {{":u", userId}, {":p", projectId}})) {
        return StoreReply::notFound();
    }
    const QString id = newId();
    const QString now = nowText();
    change("INSERT INTO commands (id, user_id, project_id, command_type, status, created_at, "
           "updated_at) VALUES (:id, :u, :p, :t, 'pending', :now, :now)",
           {{":id", id}, {":u", userId}, {":p", projectId}, {":t", commandType}, {":now", now}});
    const QJsonObject command{{QStringLiteral("id"), id},
                              {QStringLiteral("project_id"), projectId},
                              {QStringLiteral("command_type"), commandType},
                              {QStringLiteral("status"), QStringLiteral("pending")},
                              {QStringLiteral("error_message"), QJsonValue::Null},
                              {QStringLiteral("created_at"), now},
                              {QStringLiteral("updated_at"), now}};
    addEvent(userId, QStringLiteral("command.status"), command);
    transaction.commit();
    return StoreReply::found(command, userId);
}

StoreReply Database::command(const QString &userId, const QString &commandId) {
    const auto row = selectOne("SELECT id, project_id, command_type, status, error_message, "
                               "created_at, updated_at FROM commands WHERE id = :id AND user_id "
                               "= :u",
                               {{":id", commandId}, {":u", userId}});
    if (!row)
        return StoreReply::notFound();
    return StoreReply::found(*row, userId);
}

// --- Web Push ----------------------------------------------------------------------------------

QString Database::keepSetting(const QString &name, const QString &proposed) {
    // Several instances may start at once: the first insert wins, everyone reads the winner.
    change("INSERT INTO server_settings (name, value) VALUES (:n, :v) ON CONFLICT (name) DO "
           "NOTHING",
           {{":n", name}, {":v", proposed}});
    return selectOne("SELECT value FROM server_settings WHERE name = :n", {{":n", name}})
        ->value(QStringLiteral("value"))
        .toString();
}

StoreReply Database::putPushSubscription(const QString &userId, const QString &deviceId,
                                         const QString &endpoint, const QString &p256dh,
                                         const QString &auth) {
    Transaction transaction(m_db);
    if (!deviceExists(userId, deviceId))
        return StoreReply::notFound();
    const QString id = newId();
    change("INSERT INTO push_subscriptions (id, endpoint, device_id, user_id, p256dh, auth, "
           "created_at) VALUES (:id, :e, :d, :u, :p, :a, :now) ON CONFLICT (endpoint) DO UPDATE "
           "SET id = excluded.id, device_id = excluded.device_id, user_id = excluded.user_id, "
           "p256dh = excluded.p256dh, auth = excluded.auth, created_at = excluded.created_at",
           {{":id", id},
            {":e", endpoint},
            {":d", deviceId},
            {":u", userId},
            {":p", p256dh},
            {":a", auth},
            {":now", nowText()}});
    // A browser keeps one subscription; more from one phone are stale ones, and each would
    // cost a push per question.
    change("DELETE FROM push_subscriptions WHERE device_id = :d AND id NOT IN (SELECT id FROM "
           "push_subscriptions WHERE device_id = :d ORDER BY created_at DESC LIMIT 4)",
           {{":d", deviceId}});
    transaction.commit();
    return StoreReply::found(id, userId);
}

bool Database::deletePushSubscription(const QString &userId, const QString &endpoint) {
    return change("DELETE FROM push_subscriptions WHERE endpoint = :e AND user_id = :u",
                  {{":e", endpoint}, {":u", userId}}) == 1;
}

bool Database::dropPushSubscription(const QString &id) {
    return change("DELETE FROM push_subscriptions WHERE id = :id", {{":id", id}}) == 1;
}

QJsonArray Database::pushSubscriptions(const QString &userId) {
    return select("SELECT id, endpoint, p256dh, auth FROM push_subscriptions WHERE user_id = :u",
                  {{":u", userId}});
}

// --- retention ---------------------------------------------------------------------------------

int Database::purge(std::chrono::seconds age) {
    const QString before =
        QDateTime::currentDateTimeUtc().addSecs(-age.count()).toString(Qt::ISODateWithMs);
    Transaction transaction(m_db);
    // Closed sessions first: their questions and inputs go with them.
    int deleted = change("DELETE FROM sessions WHERE status = 'closed' AND updated_at < :b",
                         {{":b", before}});
    deleted += change("DELETE FROM questions WHERE status <> 'pending' AND created_at < :b",
                      {{":b", before}});
    deleted += change("DELETE FROM inputs WHERE status = 'delivered' AND delivered_at < :b",
                      {{":b", before}});
    deleted += change("DELETE FROM commands WHERE status <> 'pending' AND updated_at < :b",
                      {{":b", before}});
    // No throttle counts more than a day back.
    deleted += change("DELETE FROM throttle_hits WHERE at_ms < :ms",
                      {{":ms", QDateTime::currentMSecsSinceEpoch() - 24 * 3600 * 1000}});
    transaction.commit();
    return deleted;
}

// --- events ------------------------------------------------------------------------------------

void Database::addEvent(const QString &userId, const QString &type, const QJsonObject &data) {
    change("INSERT INTO events (user_id, type, data, created_at) VALUES (:u, :t, :d, :now)",
           {{":u", userId},
            {":t", type},
            {":d", QString::fromUtf8(QJsonDocument(data).toJson(QJsonDocument::Compact))},
            {":now", nowSeconds()}});
    // A phone away for a day reloads its lists instead of replaying the day.
    if (++m_eventsSincePrune >= 1000) {
        m_eventsSincePrune = 0;
        change("DELETE FROM events WHERE created_at < :cutoff",
               {{":cutoff", nowSeconds() - 24 * 3600}});
    }
}

QJsonArray Database::events(const QString &userId, qint64 after, int limit) {
    const QJsonArray rows = select("SELECT seq, type, data FROM events WHERE user_id = :u AND seq "
                                   "> :after ORDER BY seq LIMIT :n",
                                   {{":u", userId}, {":after", after}, {":n", limit}});
    QJsonArray events;
    for (const QJsonValue &value : rows) {
        const QJsonObject row = value.toObject();
        events.append(QJsonObject{
            {QStringLiteral("id"), row.value(QStringLiteral("seq")).toInteger()},
            {QStringLiteral("type"), row.value(QStringLiteral("type"))},
            {QStringLiteral("data"),
             QJsonDocument::fromJson(row.value(QStringLiteral("data")).toString().toUtf8())
                 .object()}});
    }
    return events;
}

Database::ResumePoint Database::resumePoint(const QString &userId, qint64 seen) {
    const auto range = selectOne("SELECT MIN(seq) AS oldest, MAX(seq) AS newest FROM events", {});
    const qint64 oldest = range ? range->value(QStringLiteral("oldest")).toInteger() : 0;
    const qint64 newest = range ? range->value(QStringLiteral("newest")).toInteger() : 0;
    // Events older than a day are gone, and a position past the newest comes from another
    // database (restored or replaced): replaying from there would miss events without a word.
    const bool complete = newest == 0 ? seen == 0 : seen >= oldest - 1 && seen <= newest;
    if (complete)
        return {seen, false};
    return {lastEventId(userId), true};
}

qint64 Database::lastEventId(const QString &userId) {
    const auto row =
        selectOne("SELECT MAX(seq) AS last FROM events WHERE user_id = :u", {{":u", userId}});
    return row ? row->value(QStringLiteral("last")).toInteger() : 0;
}

} // namespace quillet
