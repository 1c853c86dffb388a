#include "koSessionServerAccess.h"

#include "koSessionServer.h"

koSessionRelay& koSessionServerAccess::relayOf(koSessionServer& server)
{
    return *server.relay;
}
