// Work handed to threads that must not overlap and must keep their order: each job gets a
// thread of its own, but the threads run the jobs one at a time, each taking the oldest job
// that waits, so the jobs run in the order in which they were started whichever thread
// gets to run first. The run lock is held for a whole job; the queue has a lock of its
// own, held only for a moment, so that a job can be queued while another one runs (a
// download goes on while the file before it is expanded). Counts what is pending and lets
// a caller wait until nothing is pending; each job keeps its own outcome.
#pragma once
#include <windows.h>
#include <process.h>

#include <deque>
#include <memory>
#include <utility>

#include "common/critical_section.h"
#include "common/win_handles.h"

template <typename Job>
class SerialJobs {
public:
    // The work on one job; it records its outcome in the job's own result slot.
    using Work = bool (*)(Job& job);

    explicit SerialJobs(Work work) : work_(work), idle_(CreateEventA(nullptr, TRUE, TRUE, nullptr)) {}
    SerialJobs(const SerialJobs&) = delete;
    SerialJobs& operator=(const SerialJobs&) = delete;

    // Queues the job and starts its thread. Null when started; the job itself, handed
    // back, when no thread could be started.
    std::unique_ptr<Job> Start(std::unique_ptr<Job> job) {
        {
            ScopedLock guard(queueLock_);
            waiting_.push_back(std::move(job));
            ++pending_;
            ResetEvent(idle_.get());
        }
        // Worker threads are not joined: the handle goes at once.
        UniqueHandle thread(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ThreadMain, this, 0, nullptr)));
        if (thread) return nullptr;
        ScopedLock guard(queueLock_);
        std::unique_ptr<Job> back = std::move(waiting_.back());
        waiting_.pop_back();
        Finished();
        return back;
    }

    // Jobs started and not finished yet.
    int Pending() {
        ScopedLock guard(queueLock_);
        return pending_;
    }

    // Returns when every job started so far has finished.
    void WaitUntilDone() { WaitForSingleObject(idle_.get(), INFINITE); }

private:
    static unsigned __stdcall ThreadMain(void* self) {
        static_cast<SerialJobs*>(self)->RunNext();
        return 0;
    }

    void RunNext() {
        ScopedLock running(runLock_);
        std::unique_ptr<Job> job;
        {
            // Every thread was started for one job, so one is waiting; a thread that comes
            // late finds the jobs of the threads before it taken already and takes the next.
            ScopedLock guard(queueLock_);
            job = std::move(waiting_.front());
            waiting_.pop_front();
        }
        work_(*job);
        job.reset();
        ScopedLock guard(queueLock_);
        Finished();
    }

    // Under queueLock_.
    void Finished() {
        if (--pending_ == 0) SetEvent(idle_.get());
    }

    Work work_;
    CriticalSection runLock_;    // held for a whole job: one job at a time
    CriticalSection queueLock_;  // guards the members below; never held while a job runs
    std::deque<std::unique_ptr<Job>> waiting_;
    int pending_ = 0;
    UniqueHandle idle_;  // set while nothing is pending
};
