#include "NdHttpManagerImpl.h"
