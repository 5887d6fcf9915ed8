#include "NdLogManagerImpl.h"
