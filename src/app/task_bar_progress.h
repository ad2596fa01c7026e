#pragma once
// The progress shown on the program's task-bar button (or launcher entry), for one window.
#include <cstdint>

class ImdTaskBarProgress {
public:
    enum State { NoProgress = 0, Indeterminate = 1, Normal = 2, Error = 4 };
    virtual ~ImdTaskBarProgress() = default;
    // Shows value out of total and sets the state to normal.
    virtual void SetValue(uint64_t value, uint64_t total) = 0;
    virtual void SetState(State state) = 0;
};
