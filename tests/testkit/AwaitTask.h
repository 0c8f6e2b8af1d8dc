#pragma once

#include <QCoro/QCoroTask>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <exception>
#include <optional>
#include <stdexcept>

// Runs a task to its end in a nested event loop and hands back its value or rethrows its exception.
// (QCoro::waitFor drops a task's exception and never returns.) A watchdog ends a task that hangs.
template<typename T> T awaitTask(QCoro::Task<T> task, std::chrono::milliseconds watchdog = std::chrono::seconds(60))
{
    QEventLoop loop;
    bool done = false;
    std::exception_ptr error;
    std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> value;
    auto runner = [&]() -> QCoro::Task<> {
        try {
            if constexpr (std::is_void_v<T>) {
                co_await std::move(task);
                value.emplace(true);
            } else {
                value.emplace(co_await std::move(task));
            }
        } catch (...) {
            error = std::current_exception();
        }
        done = true;
        loop.quit();
    };
    auto running = runner();
    if (!done) {
        QTimer::singleShot(watchdog, &loop, [&loop] { loop.quit(); });
        loop.exec();
    }
    if (!done)
        throw std::runtime_error("task did not finish before the watchdog");
    if (error)
        std::rethrow_exception(error);
    if constexpr (!std::is_void_v<T>)
        return std::move(*value);
}

// The error a task ended with; fails when it ended otherwise.
template<typename Error, typename Task> Error failureOf(Task task)
{
    try {
        awaitTask(std::move(task));
    } catch (const Error &error) {
        return error;
    }
    throw std::runtime_error("the operation did not fail with the expected error");
}
