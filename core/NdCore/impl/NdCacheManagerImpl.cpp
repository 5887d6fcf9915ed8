#include "NdCacheManagerImpl.h"
