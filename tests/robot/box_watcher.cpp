// BoxWatcher: a thread that closes and records every message box that appears.
#include "robot_internal.h"
#include "ui_robot.h"

namespace uirobot {

BoxWatcher::BoxWatcher(WindowFilter filter, DWORD pollMs) : filter_(std::move(filter)), pollMs_(pollMs) {
    thread_ = std::thread([this] { Run(); });
}

BoxWatcher::~BoxWatcher() { Stop(); }

void BoxWatcher::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

std::vector<MessageBoxInfo> BoxWatcher::Seen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
}

size_t BoxWatcher::Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_.size();
}

bool BoxWatcher::WaitForCount(size_t n, DWORD timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return seen_.size() >= n; });
}

void BoxWatcher::Run() {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (changed_.wait_for(lock, std::chrono::milliseconds(pollMs_), [&] { return stop_; })) return;
            // Forget boxes that are gone, so that a later window with a reused handle counts.
            for (auto it = handled_.begin(); it != handled_.end();) {
                it = IsWindow(*it) ? std::next(it) : handled_.erase(it);
            }
        }
        for (MessageBoxInfo& box : ListMessageBoxes(filter_)) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (handled_.count(box.window)) continue;
                handled_.insert(box.window);
            }
            // Counted only once the box is gone, so that a test that sees the count can
            // expect the call that showed the box to return.
            CloseMessageBox(box.window, 5000);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                seen_.push_back(std::move(box));
            }
            changed_.notify_all();
        }
    }
}

}  // namespace uirobot
