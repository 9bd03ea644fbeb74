// callback_pool.h - the threads a connection runs its provider's callbacks on: at least four, at most 64 for
// ordinary requests, which beyond that wait their turn in order; a request a callback itself waits on, and a cancel,
// go first and get a thread even past the bound. A thread the system refuses ends nothing: its task waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace cfemu {

// True on the threads of every callback pool (defined in callback_tasks.cpp, read by OnCallbackThread).
extern thread_local bool t_callbackThread;

// A thread the pool grew for a burst of requests ends after this long without work, down to the minimum.
constexpr std::chrono::milliseconds kIdleThreadLifetime{2000};
// Threads a connection keeps, and how many ordinary callbacks run at once at most.
constexpr int kMinimumPoolThreads = 4;
constexpr int kMaximumPoolThreads = 64;

// How a task waits for a thread. Ordinary tasks (a request from any application) wait in order once the bound is
// reached. Urgent ones (a request a callback of this provider waits on, and a cancel) go first and get a thread of
// their own when none is idle, past the bound: a callback waiting on a nested request while every thread is taken
// would otherwise never see it served. Their number stays bounded by the callbacks that wait on them.
enum class TaskPriority { Ordinary, Urgent };

// Callbacks run on these threads, never on the caller's.
class CallbackPool {
  public:
    // Starts a thread running `body`; throws std::system_error when the system has none to give (as std::thread).
    using ThreadStarter = std::function<void(std::function<void()> body)>;

    struct Counts {
        int threads = 0;  // alive, idle or busy
        int running = 0;  // tasks running now
        int queued = 0;   // tasks waiting for a thread
        int refused = 0;  // threads the system did not give, since the start
    };

    // `starter` replaces std::thread, for tests that make the system refuse threads.
    void Start(int minimum, int maximum, ThreadStarter starter = nullptr) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->minimum = minimum;
        state_->maximum = maximum;
        if (starter) state_->starter = std::move(starter);
        for (int i = 0; i < minimum; ++i) {
            if (!Spawn()) break;
        }
    }

    bool Submit(std::function<void()> task, TaskPriority priority = TaskPriority::Ordinary) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->stopping) return false;
        (priority == TaskPriority::Urgent ? state_->urgent : state_->ordinary).push_back(std::move(task));
        Grow();
        state_->wake.notify_all();
        return true;
    }

    // Tries again to start the threads that waiting tasks lack; true while some still lack one because the system
    // refused it (the caller asks again a little later).
    bool Replenish() {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->stopping) return false;
        return !Grow();
    }

    // Tasks not yet started are dropped; the threads end once their running task returns.
    void Stop() {
        std::deque<std::function<void()>> dropped, droppedUrgent;
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            state_->stopping = true;
            dropped.swap(state_->ordinary);
            droppedUrgent.swap(state_->urgent);
            state_->wake.notify_all();
        }
    }

    // Waits until no task runs (but the caller's own, when a task of this pool disconnects), at most `limit`.
    void WaitForRunning(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(state_->mutex);
        int own = t_pool == state_.get() ? 1 : 0;
        state_->idle_changed.wait_for(lock, limit, [&] { return state_->running <= own; });
    }

    Counts Now() const {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return {state_->threads, state_->running, static_cast<int>(state_->urgent.size() + state_->ordinary.size()),
                state_->refused};
    }

  private:
    struct State {
        mutable std::mutex mutex;  // guards everything below
        std::condition_variable wake;
        std::condition_variable idle_changed;
        std::deque<std::function<void()>> urgent, ordinary;
        int idle = 0;      // threads waiting for work
        int starting = 0;  // threads started that have not begun to wait yet
        int running = 0;
        int runningOrdinary = 0;
        int threads = 0;
        int minimum = 0;
        int maximum = 0;
        int refused = 0;
        bool stopping = false;
        ThreadStarter starter = [](std::function<void()> body) { std::thread(std::move(body)).detach(); };
    };

    static thread_local const State* t_pool;

    // True when an ordinary task may start now: fewer than the bound run.
    static bool OrdinaryMayRun(const State& state) {
        return !state.ordinary.empty() && state.runningOrdinary < state.maximum;
    }

    // Starts the threads the waiting tasks need: one for each urgent task no idle thread takes, and for ordinary
    // tasks as many as the bound allows. False when the system refused one (the tasks wait for a thread that frees).
    bool Grow() {
        State& state = *state_;
        for (;;) {
            const int ready = state.idle + state.starting;
            const int urgent = static_cast<int>(state.urgent.size());
            const int ordinary = OrdinaryMayRun(state) ? static_cast<int>(state.ordinary.size()) : 0;
            if (urgent > ready) {
                if (!Spawn()) return false;
            } else if (urgent + ordinary > ready && state.threads < state.maximum) {
                if (!Spawn()) return false;
            } else {
                return true;
            }
        }
    }

    // Caller holds the mutex. Detached: a thread still inside a callback when the connection ends keeps the state
    // alive itself. A thread the system refuses (its limit on threads, or memory) is counted, never thrown.
    bool Spawn() {
        ++state_->threads;
        ++state_->starting;
        try {
            state_->starter([state = state_] { Worker(state); });
        } catch (const std::system_error&) {
            --state_->threads;
            --state_->starting;
            ++state_->refused;
            return false;
        }
        return true;
    }

    static void Worker(std::shared_ptr<State> state) {
        t_callbackThread = true;
        t_pool = state.get();
        std::unique_lock<std::mutex> lock(state->mutex);
        --state->starting;
        for (;;) {
            ++state->idle;
            bool woken = state->wake.wait_for(lock, kIdleThreadLifetime, [&] {
                return state->stopping || !state->urgent.empty() || OrdinaryMayRun(*state);
            });
            --state->idle;
            if (state->stopping || (!woken && state->threads > state->minimum)) {
                --state->threads;
                return;
            }
            if (!woken) continue;
            const bool urgent = !state->urgent.empty();
            std::deque<std::function<void()>>& queue = urgent ? state->urgent : state->ordinary;
            std::function<void()> task = std::move(queue.front());
            queue.pop_front();
            ++state->running;
            if (!urgent) ++state->runningOrdinary;
            lock.unlock();
            task();
            task = nullptr;
            lock.lock();
            --state->running;
            if (!urgent) {
                --state->runningOrdinary;
                // A thread past the bound that is idle may take the ordinary task this one leaves room for.
                if (OrdinaryMayRun(*state)) state->wake.notify_one();
            }
            state->idle_changed.notify_all();
        }
    }

    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace cfemu
