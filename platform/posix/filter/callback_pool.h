// callback_pool.h - the threads a connection runs its provider's callbacks on: at least four, one more whenever a
// task would otherwise wait, and those grown for a burst end again after a while without work.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace cfemu {

// True on the threads of every callback pool (defined in callback_tasks.cpp, read by OnCallbackThread).
extern thread_local bool t_callbackThread;

// A thread the pool grew for a burst of requests ends after this long without work, down to the minimum.
constexpr std::chrono::milliseconds kIdleThreadLifetime{2000};

// Callbacks run on these threads, never on the caller's. The pool grows whenever a task would otherwise
// wait, so a callback that blocks on a nested request (its own read of a dehydrated file) cannot starve it.
class CallbackPool {
  public:
    void Start(int threads) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->minimum = threads;
        for (int i = 0; i < threads; ++i) Spawn();
    }

    bool Submit(std::function<void()> task) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->stopping) return false;
        state_->tasks.push_back(std::move(task));
        if (state_->tasks.size() > static_cast<size_t>(state_->idle)) Spawn();
        state_->wake.notify_one();
        return true;
    }

    // Tasks not yet started are dropped; the threads end once their running task returns.
    void Stop() {
        std::deque<std::function<void()>> dropped;
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            state_->stopping = true;
            dropped.swap(state_->tasks);
            state_->wake.notify_all();
        }
    }

    // Waits until no task runs (but the caller's own, when a task of this pool disconnects), at most `limit`.
    void WaitForRunning(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(state_->mutex);
        int own = t_pool == state_.get() ? 1 : 0;
        state_->idle_changed.wait_for(lock, limit, [&] { return state_->running <= own; });
    }

  private:
    struct State {
        std::mutex mutex;  // guards everything below
        std::condition_variable wake;
        std::condition_variable idle_changed;
        std::deque<std::function<void()>> tasks;
        int idle = 0;
        int running = 0;
        int threads = 0;
        int minimum = 0;
        bool stopping = false;
    };

    static thread_local const State* t_pool;

    void Spawn() {
        // Detached: a thread still inside a callback when the connection ends keeps the state alive itself.
        ++state_->threads;
        std::thread(Worker, state_).detach();
    }

    static void Worker(std::shared_ptr<State> state) {
        t_callbackThread = true;
        t_pool = state.get();
        std::unique_lock<std::mutex> lock(state->mutex);
        for (;;) {
            ++state->idle;
            bool woken = state->wake.wait_for(lock, kIdleThreadLifetime,
                                              [&] { return state->stopping || !state->tasks.empty(); });
            --state->idle;
            if (state->stopping || (!woken && state->threads > state->minimum)) {
                --state->threads;
                return;
            }
            if (!woken) continue;
            std::function<void()> task = std::move(state->tasks.front());
            state->tasks.pop_front();
            ++state->running;
            lock.unlock();
            task();
            task = nullptr;
            lock.lock();
            --state->running;
            state->idle_changed.notify_all();
        }
    }

    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace cfemu
