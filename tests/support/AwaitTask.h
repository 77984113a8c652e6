#pragma once

#include <QCoroTask>
#include <QEventLoop>
#include <QPointer>
#include <QTimer>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <type_traits>

namespace quillet::test {

namespace detail {

template <typename T> struct TaskState {
    bool done = false;
    std::exception_ptr error;
    QPointer<QEventLoop> loop;
    std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> result;
};

// Shared ownership: a task that outlives a timed-out wait must not write into a dead frame.
template <typename T>
QCoro::Task<> drive(QCoro::Task<T> task, std::shared_ptr<TaskState<T>> state) {
    try {
        if constexpr (std::is_void_v<T>)
            co_await std::move(task);
        else
            state->result = co_await std::move(task);
    } catch (...) {
        state->error = std::current_exception();
    }
    state->done = true;
    if (state->loop)
        state->loop->quit();
}

template <typename T> void spin(TaskState<T> &state, int timeoutMs) {
    if (!state.done) {
        QEventLoop loop;
        state.loop = &loop;
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (!state.done)
        throw std::runtime_error("task did not finish in time");
    if (state.error)
        std::rethrow_exception(state.error);
}

} // namespace detail

// Runs the event loop until `task` finishes and returns its value. An exception thrown by the
// task is rethrown here (QCoro::waitFor would hang instead); a task still running after
// `timeoutMs` throws std::runtime_error.
template <typename T> T awaitTask(QCoro::Task<T> task, int timeoutMs = 30000) {
    auto state = std::make_shared<detail::TaskState<T>>();
    detail::drive(std::move(task), state);
    detail::spin(*state, timeoutMs);
    if constexpr (!std::is_void_v<T>)
        return std::move(*state->result);
}

} // namespace quillet::test
