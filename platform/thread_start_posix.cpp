#include "platform/thread_start.h"

#include <pthread.h>
#include <climits>

#include <memory>

namespace hbt {
namespace {

void* RunBody(void* argument) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
    (*body)();
    return nullptr;
}

}  // namespace

bool StartDetachedThread(std::function<void()> body, std::size_t stackSize) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    const std::size_t size = stackSize < static_cast<std::size_t>(PTHREAD_STACK_MIN) ? PTHREAD_STACK_MIN : stackSize;
    bool ok = pthread_attr_setstacksize(&attributes, size) == 0 &&
              pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0;
    if (ok) {
        auto* heapBody = new std::function<void()>(std::move(body));
        pthread_t thread;
        ok = pthread_create(&thread, &attributes, RunBody, heapBody) == 0;
        if (!ok) delete heapBody;
    }
    pthread_attr_destroy(&attributes);
    return ok;
}

}  // namespace hbt
