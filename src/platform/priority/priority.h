// Raising the scheduling priority of a conversion, and putting it back.
#ifndef TALLORY_PLATFORM_PRIORITY_H
#define TALLORY_PLATFORM_PRIORITY_H

namespace tallory::platform {

// Raises the process (its main thread) and the calling thread while it lives;
// the destructor restores the values found. A refusal (no privilege) is ignored.
class PriorityBoost {
public:
    PriorityBoost();
    ~PriorityBoost();
    PriorityBoost(const PriorityBoost&) = delete;
    PriorityBoost& operator=(const PriorityBoost&) = delete;

private:
    int processNice_;
    int threadNice_;
    int threadId_;
};

// The nice value of the calling thread.
int currentThreadNice();

}  // namespace tallory::platform

#endif
