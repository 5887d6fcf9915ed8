#pragma once

#include "NdServerAnswer.h"

#include <string>

// The two questions the program asks the platform's admin server, the one of
// the environment that the store names at the moment of asking. Both block the
// calling thread until the answer or the failure has been handled.
class NdServerQuery
{
public:
    // The videos that an access token grants and the ids of their user; false
    // when the server could not be asked, refused or answered nothing readable.
    static bool AskTasksByToken(const std::string& token, NdTokenAnswer_t& answer);
    // The newest version on offer; version is changed only when the server offers one.
    static void AskSoftVersion(NdSoftVersion_t& version);
};
