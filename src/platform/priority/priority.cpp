#include "platform/priority/priority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace tallory::platform {

namespace {
// "High" for the process and "above normal" for the worker, in nice steps.
constexpr int kProcessBoost = -10;
constexpr int kThreadBoost = -11;

int niceOf(id_t id) {
    errno = 0;
    int n = ::getpriority(PRIO_PROCESS, id);
    return errno == 0 ? n : 0;
}
}  // namespace

PriorityBoost::PriorityBoost()
    : processNice_(niceOf(static_cast<id_t>(::getpid()))),
      threadNice_(niceOf(static_cast<id_t>(::syscall(SYS_gettid)))),
      threadId_(static_cast<int>(::syscall(SYS_gettid))) {
    // Linux keeps a nice value per thread; the process's is its main thread's.
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::getpid()), kProcessBoost);
    if (threadId_ != ::getpid()) (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(threadId_), kThreadBoost);
}

PriorityBoost::~PriorityBoost() {
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::getpid()), processNice_);
    if (threadId_ != ::getpid()) (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(threadId_), threadNice_);
}

int currentThreadNice() { return niceOf(static_cast<id_t>(::syscall(SYS_gettid))); }

}  // namespace tallory::platform
