// Polls a condition in real time; for tests that wait on other threads.
#pragma once

#include <chrono>
#include <thread>

template <class Pred>
bool wait_until(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
