#pragma once

#include "server/Asio.h"

#include <QObject>
#include <QString>
#include <QThread>
#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>

namespace quillet {

class Database;

// The database on a thread of its own: a Qt SQL connection belongs to the thread that opened it,
// and a slow statement must never stall the network. Coroutines on the network's executor await
// `run`, which executes one operation on the store thread and resumes them with its result.
class Store {
public:
    // Opens `location` (an SQLite path or a postgresql:// URL) on the store thread and migrates
    // the schema; throws std::runtime_error with the reason when that fails.
    explicit Store(const QString &location);
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    // Runs `operation(database)` on the store thread. Exceptions it throws come out of the
    // co_await; so does its result. The operation must not touch the caller's state.
    template <typename Result, typename Operation>
    asio::awaitable<Result> run(Operation operation) {
        auto initiation = [this, operation = std::move(operation)](auto handler) mutable {
            using Handler = decltype(handler);
            auto shared = std::make_shared<Handler>(std::move(handler));
            auto job = [this, shared,
                        operation = std::move(operation)](Database &database) mutable {
                std::exception_ptr failure;
                Result result{};
                const auto started = std::chrono::steady_clock::now();
                try {
                    result = operation(database);
                } catch (...) {
                    failure = std::current_exception();
                    recover();
                }
                m_busy += (std::chrono::steady_clock::now() - started).count();
                ++m_operations;
                auto executor = asio::get_associated_executor(*shared);
                auto resume = [shared, failure, result = std::move(result)]() mutable {
                    (*shared)(failure, std::move(result));
                };
                asio::post(executor, std::move(resume));
            };
            enqueue(std::move(job));
        };
        co_return co_await asio::async_initiate<decltype(asio::use_awaitable),
                                                void(std::exception_ptr, Result)>(
            std::move(initiation), asio::use_awaitable);
    }

    // The same, synchronously, for start-up and tests.
    template <typename Result, typename Operation> Result runNow(Operation operation) {
        Result result{};
        std::exception_ptr failure;
        auto job = [&](Database &database) {
            try {
                result = operation(database);
            } catch (...) {
                failure = std::current_exception();
                recover();
            }
        };
        enqueueBlocking(job);
        if (failure)
            std::rethrow_exception(failure);
        return result;
    }

    QString driverName() const { return m_driver; }
    // Operations run through `run` so far, and the time they took together. Any thread.
    quint64 operations() const { return m_operations; }
    double busySeconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::duration(m_busy.load()))
            .count();
    }

    // Runs `job` on the store thread without waiting for it; it must not throw.
    void enqueue(std::function<void(Database &)> job);

private:
    void enqueueBlocking(std::function<void(Database &)> job);
    // After a failed operation, on the store thread: reopens a connection the database lost, so
    // that one failure is not followed by every later operation's.
    void recover();

    QThread m_thread;
    QObject *m_worker = nullptr;
    std::unique_ptr<Database> m_database;
    QString m_driver;
    std::atomic<quint64> m_operations{0};
    std::atomic<std::chrono::steady_clock::rep> m_busy{0};
};

} // namespace quillet
