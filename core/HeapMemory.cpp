#include "HeapMemory.h"

#include <QCoreApplication>
#include <QTimer>

#include <atomic>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace heapmemory
{

void ReturnFreeMemory()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

void ReturnFreeMemorySoon()
{
    static std::atomic<bool> s_pending{false};
    QCoreApplication* application = QCoreApplication::instance();
    if (!application)
    {
        ReturnFreeMemory();
        return;
    }
    if (s_pending.exchange(true))
        return;
    QTimer::singleShot(0, application, [] {
        s_pending = false;
        ReturnFreeMemory();
    });
}

MergeFreedBlocksAtOnce::MergeFreedBlocksAtOnce()
{
#ifdef __GLIBC__
    mallopt(M_MXFAST, 0);
#endif
}

MergeFreedBlocksAtOnce::~MergeFreedBlocksAtOnce()
{
#ifdef __GLIBC__
    // glibc's own limit.
    mallopt(M_MXFAST, int(64 * sizeof(size_t) / 4));
#endif
}

}
