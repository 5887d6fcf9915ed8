// ThreadSanitizer cannot see how Debian's Qt orders threads: Qt is not built
// with it, and QMutex, QReadWriteLock, QSemaphore and the end of a QThread go
// through futexes and Qt's own locks, not through pthread calls that TSan
// intercepts. Every datum our code hands over through them would then read as
// a data race. Linked first into every program of the ThreadSanitizer build
// (scripts/test-sanitized --thread), this library takes the calls our code
// makes into Qt for these, forwards each to Qt's own function and tells TSan
// what it did. Qt's calls inside Qt itself stay unseen.
#include <QMetaObject>
#include <QMutex>
#include <QReadWriteLock>
#include <QSemaphore>
#include <QThread>
#include <QVariant>
#include <QWaitCondition>

#include <sanitizer/tsan_interface.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {
template <typename Function> Function QtFunction(const char* name)
{
    void* function = dlvsym(RTLD_NEXT, name, "Qt_5");
    if (!function) {
        std::fprintf(stderr, "NdTsanQtLocks: %s not found in Qt\n", name);
        std::abort();
    }
    return reinterpret_cast<Function>(function);
}

// A read-write lock's unlock does not say which kind it releases: each thread
// remembers the kinds it holds.
thread_local std::vector<std::pair<const void*, bool>> t_heldReadWriteLocks;

void AfterReadWriteLock(const QReadWriteLock* lock, bool read, unsigned tryFlags, bool locked)
{
    const unsigned flags = (read ? __tsan_mutex_read_lock : 0) | tryFlags;
    __tsan_mutex_post_lock(const_cast<QReadWriteLock*>(lock), locked ? flags : flags | __tsan_mutex_try_lock_failed, 0);
    if (locked)
        t_heldReadWriteLocks.emplace_back(lock, read);
}

bool TakeHeldReadLock(const QReadWriteLock* lock)
{
    for (auto it = t_heldReadWriteLocks.rbegin(); it != t_heldReadWriteLocks.rend(); ++it) {
        if (it->first == lock) {
            const bool read = it->second;
            t_heldReadWriteLocks.erase(std::next(it).base());
            return read;
        }
    }
    return false;
}
} // namespace

// ---------------------------------------------------------------------------
// QMutex (QMutexLocker calls these too). A recursive mutex only orders.

void QMutex::lock() QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto qtLock = QtFunction<void (*)(QMutex*)>("_ZN6QMutex4lockEv");
    if (isRecursive()) {
        qtLock(this);
        __tsan_acquire(this);
        return;
    }
    __tsan_mutex_pre_lock(this, 0);
    qtLock(this);
    __tsan_mutex_post_lock(this, 0, 0);
}

bool QMutex::tryLock(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto qtTryLock = QtFunction<bool (*)(QMutex*, int)>("_ZN6QMutex7tryLockEi");
    if (isRecursive()) {
        const bool locked = qtTryLock(this, timeout);
        if (locked)
            __tsan_acquire(this);
        return locked;
    }
    __tsan_mutex_pre_lock(this, __tsan_mutex_try_lock);
    const bool locked = qtTryLock(this, timeout);
    __tsan_mutex_post_lock(this, __tsan_mutex_try_lock | (locked ? 0 : __tsan_mutex_try_lock_failed), 0);
    return locked;
}

void QMutex::unlock() noexcept
{
    static const auto qtUnlock = QtFunction<void (*)(QMutex*)>("_ZN6QMutex6unlockEv");
    if (isRecursive()) {
        __tsan_release(this);
        qtUnlock(this);
        return;
    }
    __tsan_mutex_pre_unlock(this, 0);
    qtUnlock(this);
    __tsan_mutex_post_unlock(this, 0);
}

QMutex::~QMutex()
{
    static const auto qtDestroy = QtFunction<void (*)(QMutex*)>("_ZN6QMutexD2Ev");
    __tsan_mutex_destroy(this, 0);
    qtDestroy(this);
}

// ---------------------------------------------------------------------------
// QReadWriteLock (QReadLocker and QWriteLocker call these).

void QReadWriteLock::lockForRead()
{
    static const auto qtLock = QtFunction<void (*)(QReadWriteLock*)>("_ZN14QReadWriteLock11lockForReadEv");
    __tsan_mutex_pre_lock(this, __tsan_mutex_read_lock);
    qtLock(this);
    AfterReadWriteLock(this, true, 0, true);
}

void QReadWriteLock::lockForWrite()
{
    static const auto qtLock = QtFunction<void (*)(QReadWriteLock*)>("_ZN14QReadWriteLock12lockForWriteEv");
    __tsan_mutex_pre_lock(this, 0);
    qtLock(this);
    AfterReadWriteLock(this, false, 0, true);
}

bool QReadWriteLock::tryLockForRead(int timeout)
{
    static const auto qtTry = QtFunction<bool (*)(QReadWriteLock*, int)>("_ZN14QReadWriteLock14tryLockForReadEi");
    __tsan_mutex_pre_lock(this, __tsan_mutex_read_lock | __tsan_mutex_try_lock);
    const bool locked = qtTry(this, timeout);
    AfterReadWriteLock(this, true, __tsan_mutex_try_lock, locked);
    return locked;
}

bool QReadWriteLock::tryLockForWrite(int timeout)
{
    static const auto qtTry = QtFunction<bool (*)(QReadWriteLock*, int)>("_ZN14QReadWriteLock15tryLockForWriteEi");
    __tsan_mutex_pre_lock(this, __tsan_mutex_try_lock);
    const bool locked = qtTry(this, timeout);
    AfterReadWriteLock(this, false, __tsan_mutex_try_lock, locked);
    return locked;
}

bool QReadWriteLock::tryLockForRead()
{
    return tryLockForRead(0);
}

bool QReadWriteLock::tryLockForWrite()
{
    return tryLockForWrite(0);
}

void QReadWriteLock::unlock()
{
    static const auto qtUnlock = QtFunction<void (*)(QReadWriteLock*)>("_ZN14QReadWriteLock6unlockEv");
    const unsigned flags = TakeHeldReadLock(this) ? __tsan_mutex_read_lock : 0;
    __tsan_mutex_pre_unlock(this, flags);
    qtUnlock(this);
    __tsan_mutex_post_unlock(this, flags);
}

// ---------------------------------------------------------------------------
// QWaitCondition: Qt unlocks the mutex while it waits and locks it again.

bool QWaitCondition::wait(QMutex* mutex, QDeadlineTimer deadline)
{
    static const auto qtWait = QtFunction<bool (*)(QWaitCondition*, QMutex*, QDeadlineTimer)>(
        "_ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer");
    __tsan_mutex_pre_unlock(mutex, 0);
    __tsan_mutex_post_unlock(mutex, 0);
    const bool woken = qtWait(this, mutex, deadline);
    __tsan_mutex_pre_lock(mutex, 0);
    __tsan_mutex_post_lock(mutex, 0, 0);
    return woken;
}

bool QWaitCondition::wait(QMutex* mutex, unsigned long time)
{
    static const auto qtWait
        = QtFunction<bool (*)(QWaitCondition*, QMutex*, unsigned long)>("_ZN14QWaitCondition4waitEP6QMutexm");
    __tsan_mutex_pre_unlock(mutex, 0);
    __tsan_mutex_post_unlock(mutex, 0);
    const bool woken = qtWait(this, mutex, time);
    __tsan_mutex_pre_lock(mutex, 0);
    __tsan_mutex_post_lock(mutex, 0, 0);
    return woken;
}

// ---------------------------------------------------------------------------
// QSemaphore: a release happens before the acquire it lets through.

void QSemaphore::acquire(int n)
{
    static const auto qtAcquire = QtFunction<void (*)(QSemaphore*, int)>("_ZN10QSemaphore7acquireEi");
    qtAcquire(this, n);
    __tsan_acquire(this);
}

bool QSemaphore::tryAcquire(int n)
{
    static const auto qtTry = QtFunction<bool (*)(QSemaphore*, int)>("_ZN10QSemaphore10tryAcquireEi");
    const bool acquired = qtTry(this, n);
    if (acquired)
        __tsan_acquire(this);
    return acquired;
}

bool QSemaphore::tryAcquire(int n, int timeout)
{
    static const auto qtTry = QtFunction<bool (*)(QSemaphore*, int, int)>("_ZN10QSemaphore10tryAcquireEii");
    const bool acquired = qtTry(this, n, timeout);
    if (acquired)
        __tsan_acquire(this);
    return acquired;
}

void QSemaphore::release(int n)
{
    static const auto qtRelease = QtFunction<void (*)(QSemaphore*, int)>("_ZN10QSemaphore7releaseEi");
    __tsan_release(this);
    qtRelease(this, n);
}

// ---------------------------------------------------------------------------
// QThread: everything a thread did happens before a wait or a check that sees
// it ended. The release runs on the thread itself, from its finished signal.

void QThread::start(Priority priority)
{
    static const auto qtStart = QtFunction<void (*)(QThread*, Priority)>("_ZN7QThread5startENS_8PriorityE");
    static const char* const watched = "NdTsanQtLocksWatched";
    if (!property(watched).toBool()) {
        setProperty(watched, true);
        QObject::connect(this, &QThread::finished, [this]() { __tsan_release(this); });
    }
    qtStart(this, priority);
}

bool QThread::wait(QDeadlineTimer deadline)
{
    static const auto qtWait = QtFunction<bool (*)(QThread*, QDeadlineTimer)>("_ZN7QThread4waitE14QDeadlineTimer");
    const bool ended = qtWait(this, deadline);
    if (ended)
        __tsan_acquire(this);
    return ended;
}

bool QThread::wait(unsigned long time)
{
    static const auto qtWait = QtFunction<bool (*)(QThread*, unsigned long)>("_ZN7QThread4waitEm");
    const bool ended = qtWait(this, time);
    if (ended)
        __tsan_acquire(this);
    return ended;
}

bool QThread::isFinished() const
{
    static const auto qtIsFinished = QtFunction<bool (*)(const QThread*)>("_ZNK7QThread10isFinishedEv");
    const bool finished = qtIsFinished(this);
    if (finished)
        __tsan_acquire(const_cast<QThread*>(this));
    return finished;
}

bool QThread::isRunning() const
{
    static const auto qtIsRunning = QtFunction<bool (*)(const QThread*)>("_ZNK7QThread9isRunningEv");
    const bool running = qtIsRunning(this);
    if (!running)
        __tsan_acquire(const_cast<QThread*>(this));
    return running;
}

// ---------------------------------------------------------------------------
// QMetaObject::invokeMethod with a functor: the call happens after the caller
// posted it, and a blocking call's caller goes on after the call.

namespace {
class NdOrderedSlot : public QtPrivate::QSlotObjectBase
{
public:
    NdOrderedSlot(QtPrivate::QSlotObjectBase* slot, void* doneToken)
        : QSlotObjectBase(&Impl), Slot(slot), DoneToken(doneToken)
    { }

private:
    static void Impl(int which, QSlotObjectBase* base, QObject* receiver, void** args, bool* ret)
    {
        auto* self = static_cast<NdOrderedSlot*>(base);
        switch (which) {
        case Destroy:
            self->Slot->destroyIfLastRef();
            delete self;
            break;
        case Call:
            __tsan_acquire(self);
            self->Slot->call(receiver, args);
            if (self->DoneToken)
                __tsan_release(self->DoneToken);
            break;
        default:
            if (ret)
                *ret = false;
            break;
        }
    }

    QtPrivate::QSlotObjectBase* const Slot;
    void* const DoneToken;
};
} // namespace

bool QMetaObject::invokeMethodImpl(
    QObject* object, QtPrivate::QSlotObjectBase* slot, Qt::ConnectionType type, void* ret)
{
    static const auto qtInvoke = QtFunction<bool (*)(QObject*, QtPrivate::QSlotObjectBase*, Qt::ConnectionType, void*)>(
        "_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv");
    const bool blocking = type == Qt::BlockingQueuedConnection;
    char done = 0;
    auto* ordered = new NdOrderedSlot(slot, blocking ? &done : nullptr);
    __tsan_release(ordered);
    const bool invoked = qtInvoke(object, ordered, type, ret);
    if (blocking)
        __tsan_acquire(&done);
    return invoked;
}
