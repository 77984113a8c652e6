#pragma once

#include <QCoroTask>
#include <QEventLoop>
#include <exception>
#include <memory>
#include <optional>

namespace quillet::cli {

// Runs a coroutine to its end from a plain function: the command line has no other event loop.
// The task's exception is rethrown here. Time-outs are the network layer's (every request has
// one), so there is none of its own.
class TaskRunner {
public:
    template <typename T> static T run(QCoro::Task<T> task) {
        auto state = std::make_shared<State<T>>();
        drive(std::move(task), state);
        wait(*state);
        return std::move(*state->value);
    }

    static void run(QCoro::Task<> task) {
        auto state = std::make_shared<State<bool>>();
        driveVoid(std::move(task), state);
        wait(*state);
    }

private:
    template <typename T> struct State {
        bool done = false;
        std::exception_ptr error;
        std::optional<T> value;
        QEventLoop *loop = nullptr;
    };

    template <typename T>
    static QCoro::Task<> drive(QCoro::Task<T> task, std::shared_ptr<State<T>> state) {
        try {
            state->value = co_await std::move(task);
        } catch (...) {
            state->error = std::current_exception();
        }
        finish(*state);
    }

    static QCoro::Task<> driveVoid(QCoro::Task<> task, std::shared_ptr<State<bool>> state) {
        try {
            co_await std::move(task);
            state->value = true;
        } catch (...) {
            state->error = std::current_exception();
        }
        finish(*state);
    }

    template <typename T> static void finish(State<T> &state) {
        state.done = true;
        if (state.loop)
            state.loop->quit();
    }

    template <typename T> static void wait(State<T> &state) {
        if (!state.done) {
            QEventLoop loop;
            state.loop = &loop;
            loop.exec();
            state.loop = nullptr;
        }
        if (state.error)
            std::rethrow_exception(state.error);
    }
};

} // namespace quillet::cli
