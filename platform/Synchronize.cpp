#include "platform/Synchronize.h"

#include <QCoreApplication>
#include <QThread>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace platform {

namespace {

struct Call {
    std::function<void()> fn;
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    std::exception_ptr error;

    void Finish(std::exception_ptr e) {
        std::lock_guard guard(lock);
        error = std::move(e);
        finished = true;
        done.notify_all();
    }
};

// Travels inside the queued call. If Qt drops the call unrun, the destructor releases the worker.
class Runner {
public:
    explicit Runner(std::shared_ptr<Call> call) : call_(std::move(call)) {}
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;
    ~Runner() {
        if (call_) {
            call_->Finish(std::make_exception_ptr(
                std::runtime_error("synchronised call dropped: the application has gone")));
        }
    }
    void Run() {
        std::exception_ptr error;
        try {
            call_->fn();
        } catch (...) {
            error = std::current_exception();
        }
        std::exchange(call_, nullptr)->Finish(error);
    }

private:
    std::shared_ptr<Call> call_;
};

}  // namespace

void Synchronize(const std::function<void()>& fn) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) {
        throw std::runtime_error("synchronised call without an application");
    }
    if (QThread::currentThread() == app->thread()) {
        fn();
        return;
    }
    auto call = std::make_shared<Call>();
    call->fn = fn;
    auto runner = std::make_shared<Runner>(call);
    QMetaObject::invokeMethod(
        app, [runner] { runner->Run(); }, Qt::QueuedConnection);
    runner.reset();  // from here only the queued call holds it
    std::unique_lock guard(call->lock);
    call->done.wait(guard, [&] { return call->finished; });
    if (call->error) {
        std::rethrow_exception(call->error);
    }
}

void RunPendingSynchronized() {
    if (QCoreApplication* app = QCoreApplication::instance()) {
        QCoreApplication::sendPostedEvents(app, QEvent::MetaCall);
    }
}

}  // namespace platform
