#include "write/batchscheduling.h"

#include <QtGlobal>

#ifdef Q_OS_LINUX
#include <sched.h>
#endif

void useBatchScheduling()
{
#ifdef Q_OS_LINUX
    // Needs no privilege; should it fail the thread only keeps its policy.
    const sched_param parameters{};
    sched_setscheduler(0, SCHED_BATCH, &parameters);
#endif
}
