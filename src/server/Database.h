#pragma once

#include "server/Caller.h"
#include "server/StoreReply.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariant>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <utility>

namespace quillet {

// Every read and write of the relay's state, in SQL that SQLite and PostgreSQL both run
// (ON CONFLICT, RETURNING, named placeholders). Lives on the store thread only (see Store).
// Rows come back as JSON objects whose members are the wire names, so each column is named
// once. Every statement about a user's objects carries that user's id: an id of another user
// is simply not found. Changes a phone should hear of append an event in the same transaction.
class Database {
public:
    // Throws std::runtime_error when the database cannot be opened or migrated.
    explicit Database(const QString &location);
    ~Database();

    QString driverName() const;
    // After an operation failed: when PostgreSQL ended the connection (a restart, an
    // administrator, a network blip) it is opened again for the next operation. The failed one
    // is not repeated: its transaction is gone, and its caller has already heard of the failure.
    void reopenIfLost();
    int schemaVersion();
    static bool isPostgresUrl(const QString &location);

    // --- several instances on one database ---------------------------------------------------
    // Tells the other instances on this database that `userId`'s state changed (PostgreSQL's
    // NOTIFY; nothing for SQLite, which one process owns). Call it after the commit.
    void announce(const QString &userId);
    // Called on the store thread when another instance announced a change, with how many
    // milliseconds the news took; with an empty `userId` when the listening connection was
    // reopened after a loss: news sent meanwhile is lost, so every waiter must look again.
    void onWake(std::function<void(const QString &userId, qint64 lagMs)> handler) {
        m_onWake = std::move(handler);
    }

    // Throttles: "at most `limit` attempts per key in `windowMs`", over every instance. The
    // milliseconds until `key` may try again, 0 when it may now.
    qint64 throttleWait(const QString &bucket, const QString &key, int limit, qint64 windowMs);
    void recordAttempt(const QString &bucket, const QString &key, qint64 windowMs);

    // --- credentials -------------------------------------------------------------------------
    std::optional<Caller> authenticate(CredentialKind kind, const QString &tokenHash);

    struct Challenge {
        QString kind;
        QString username;
        QString userHandle;
    };
    void putChallenge(const QString &challenge, const QString &kind, const QString &username,
                      const QString &userHandle, qint64 lifetimeSeconds);
    // Single use: the challenge is gone after this, whatever the caller does with it.
    std::optional<Challenge> takeChallenge(const QString &challenge, const QString &kind);

    qint64 userCount();
    bool usernameTaken(const QString &username);
    // The new user's id; refused when registration closed meanwhile or the name was taken.
    StoreReply createUser(const QString &username, const QString &userHandle,
                          const QString &credentialId, const QString &publicKey, quint32 signCount,
                          bool registrationOpen);
    struct Passkey {
        QString userId;
        QString publicKey;
        quint32 signCount = 0;
    };
    std::optional<Passkey> passkey(const QString &credentialId);
    QString userHandleOf(const QString &userId);
    // False when the count changed meanwhile (a concurrent sign-in with a cloned key).
    bool advanceSignCount(const QString &credentialId, quint32 from, quint32 to);

    struct TokenPair {
        QString accessHash;
        QString refreshHash;
        qint64 accessLifetime = 0;
        qint64 refreshLifetime = 0;
    };
    void issueTokens(const QString &userId, const TokenPair &tokens);
    // Trades an unused refresh token for `next`; a token used before revokes its whole family
    // (someone holds a copy) and answers refused.
    StoreReply rotateRefreshToken(const QString &refreshHash, const TokenPair &next);

    QJsonObject createApiKey(const QString &userId, const QString &label, const QString &keyHash);
    bool deleteApiKey(const QString &userId, const QString &id);
    QJsonArray apiKeys(const QString &userId);

    void createPairingCode(const QString &userId, const QString &code, qint64 lifetimeSeconds);
    StoreReply completePairing(const QString &code, const QString &deviceName,
                               const QString &deviceType, const QString &tokenHash);
    QJsonArray devices(const QString &userId);
    bool deleteDevice(const QString &userId, const QString &id);

    // --- the agent's side --------------------------------------------------------------------
    QJsonObject createSession(const QString &userId, const QString &agentLabel,
                              const QVariant &projectName, const QVariant &paneTarget);
    StoreReply closeSession(const QString &userId, const QString &sessionId);
    StoreReply streamContent(const QString &userId, const QString &sessionId,
                             const QString &content);
    StoreReply postQuestion(const QString &userId, const QString &sessionId, const QString &context,
                            const QString &questionText);
    StoreReply expireQuestion(const QString &userId, const QString &sessionId,
                              const QString &questionId);
    // The question as the agent sees it: its status and, once answered, "reply_text".
    StoreReply question(const QString &userId, const QString &sessionId, const QString &questionId);
    StoreReply pendingInputs(const QString &userId, const QString &sessionId);
    StoreReply deliverInput(const QString &userId, const QString &sessionId,
                            const QString &inputId);
    QJsonArray pendingCommands(const QString &userId);
    StoreReply updateCommand(const QString &userId, const QString &commandId, const QString &status,
                             const QVariant &errorMessage);
    void replaceProjects(const QString &userId, const QJsonArray &projects);

    // --- the phone's side --------------------------------------------------------------------
    QJsonArray sessions(const QString &userId);
    StoreReply session(const QString &userId, const QString &sessionId);
    QJsonArray questions(const QString &userId, const QString &status);
    // `clientKey` (may be empty) names the phone's send: the same send again answers as the
    // first did instead of adding or refusing it.
    StoreReply answerQuestion(const QString &userId, const QString &questionId,
                              const QString &replyText, const QString &clientKey);
    StoreReply addInput(const QString &userId, const QString &sessionId, const QVariant &text,
                        const QVariant &key, const QString &clientKey);
    QJsonArray projects(const QString &userId);
    StoreReply createCommand(const QString &userId, const QString &projectId,
                             const QString &commandType);
    StoreReply command(const QString &userId, const QString &commandId);
    bool deviceExists(const QString &userId, const QString &deviceId);

    // --- Web Push ----------------------------------------------------------------------------
    // The stored value of a setting, storing `proposed` when there is none yet.
    QString keepSetting(const QString &name, const QString &proposed);
    // Stores a subscription for the caller's device, replacing any earlier one of the same
    // endpoint (whoever held it); answers its id.
    StoreReply putPushSubscription(const QString &userId, const QString &deviceId,
                                   const QString &endpoint, const QString &p256dh,
                                   const QString &auth);
    bool deletePushSubscription(const QString &userId, const QString &endpoint);
    // The push service said the subscription is gone.
    bool dropPushSubscription(const QString &id);
    // id, endpoint, p256dh and auth of each of the user's subscriptions.
    QJsonArray pushSubscriptions(const QString &userId);

    // Deletes what finished more than `age` ago: closed sessions (with their questions and
    // inputs), answered and expired questions, delivered inputs, acknowledged commands, spent
    // throttle counts. A session keeps only its latest screen anyway. Answers the rows deleted.
    int purge(std::chrono::seconds age);

    // Events after `after`, oldest first, at most `limit`.
    QJsonArray events(const QString &userId, qint64 after, int limit);
    qint64 lastEventId(const QString &userId);
    // Where a phone that saw events up to `seen` goes on: there, unless events after it may be
    // lost to it; then from now, and `reload` says its lists must be read again.
    struct ResumePoint {
        qint64 after = 0;
        bool reload = false;
    };
    ResumePoint resumePoint(const QString &userId, qint64 seen);

private:
    // One access and one refresh token of `family`, both counted from `now`.
    void storeTokens(const QString &userId, const QString &family, const TokenPair &tokens,
                     qint64 now);
    using Bindings = std::initializer_list<std::pair<const char *, QVariant>>;
    QSqlQuery &prepared(const char *sql);
    QSqlQuery &execute(const char *sql, Bindings bindings);
    QJsonArray select(const char *sql, Bindings bindings);
    std::optional<QJsonObject> selectOne(const char *sql, Bindings bindings);
    int change(const char *sql, Bindings bindings);
    void migrate();
    static QSqlDatabase openPostgres(const QString &location, const QString &connection,
                                     const QStringList &extraOptions = {});
    // The connection that hears the other instances: opened and subscribed (throws when it
    // cannot be), closed, and checked now and then on the store thread, reopened with a growing
    // pause when PostgreSQL ended it (a restart, an administrator, a network blip).
    void listen();
    void closeListener();
    void checkListener();
    void heard(const QString &payload);
    void addEvent(const QString &userId, const QString &type, const QJsonObject &data);
    std::optional<QJsonObject> ownedSession(const QString &userId, const QString &sessionId);

    QString m_connection;
    QSqlDatabase m_db;
    bool m_postgres = false;
    bool m_connectionLost = false;
    QString m_location;
    QSqlDatabase m_listener;
    std::unique_ptr<QTimer> m_listenerCheck;
    std::chrono::milliseconds m_listenerRetry{0};
    QString m_instance;
    std::function<void(const QString &, qint64)> m_onWake;
    QHash<const char *, QSqlQuery> m_queries;
    int m_eventsSincePrune = 0;
};

} // namespace quillet
