#include "platform/BackgroundQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThreadPool>

#include <condition_variable>
#include <mutex>

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#elif defined(__APPLE__)
#include <pthread/qos.h>
#endif

namespace quern {
namespace {

// Actions sleep for their settle pause on these threads, so they must not be few: a handful of
// quick clicks would otherwise wait in line.
constexpr int kMaxThreadsPerQueue = 64;

struct Queues {
    QThreadPool userInitiated;
    QThreadPool utility;
    std::mutex mutex;
    std::condition_variable wake;
    bool shuttingDown = false;

    Queues() {
        userInitiated.setMaxThreadCount(kMaxThreadsPerQueue);
        utility.setMaxThreadCount(kMaxThreadsPerQueue);
    }
};

Queues& queues() {
    static Queues instance;
    return instance;
}

void lowerPriorityOfThisThread() {
#if defined(__linux__)
    // Thread priorities of QThreadPool do nothing on Linux; nice applies per thread there.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 10);
#elif defined(__APPLE__)
    pthread_set_qos_class_self_np(QOS_CLASS_UTILITY, 0);
#endif
}

void raisePriorityOfThisThread() {
#if defined(__APPLE__)
    pthread_set_qos_class_self_np(QOS_CLASS_USER_INITIATED, 0);
#endif
}

} // namespace

void dispatchAsync(QualityOfService quality, std::function<void()> job) {
    Queues& q = queues();
    if (quality == QualityOfService::utility) {
        q.utility.start([job = std::move(job)] {
            lowerPriorityOfThisThread();
            job();
        });
    } else {
        q.userInitiated.start([job = std::move(job)] {
            raisePriorityOfThisThread();
            job();
        });
    }
}

void dispatchToMain(std::function<void()> job) {
    QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr)
        return;
    QMetaObject::invokeMethod(application, std::move(job), Qt::QueuedConnection);
}

void sleepOnBackgroundThread(std::chrono::milliseconds duration) {
    Queues& q = queues();
    std::unique_lock lock(q.mutex);
    q.wake.wait_for(lock, duration, [&] { return q.shuttingDown; });
}

void shutDownBackgroundQueues() {
    Queues& q = queues();
    {
        std::lock_guard lock(q.mutex);
        q.shuttingDown = true;
    }
    q.wake.notify_all();
    q.userInitiated.waitForDone();
    q.utility.waitForDone();
}

} // namespace quern
