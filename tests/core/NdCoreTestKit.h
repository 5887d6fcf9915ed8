#pragma once

#include "NdCore/NdDownloadTaskParam.h"
#include "NdTestEnv.h"

#include <QString>

// Task records for the store's tests.

// A task record whose members all tell its id, in the given state.
DownloadTaskParam_t NdMakeTask(const QString& id, int state = Wait);
