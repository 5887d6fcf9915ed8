#pragma once

#include "NdCore/NdDownloadTaskParam.h"
#include "NdTestEnv.h"

#include <QString>

// What the core tests and the programs they start share.

// A task record whose members all tell its id, in the given state.
DownloadTaskParam_t NdMakeTask(const QString& id, int state = Wait);
