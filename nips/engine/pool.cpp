#include "nips/engine/pool.h"

POOL_TYPE g_poolType = NonPagedPool;
ULONG g_lookasideFlags = 0;
