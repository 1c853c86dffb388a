#pragma once

#include "koSessionCommand.h"
#include "koSessionExport.h"
#include "koSessionUser.h"

#include <vector>

// The whole roster, sent by the server to every participant. State-mergable
// with one state for all rosters, so a change list holds only the newest, and
// kept there for participants who join later.
class KOSESSION_EXPORT koSessionUsersCommand : public koSessionCommand
{
public:
    koSessionUsersCommand();
    explicit koSessionUsersCommand(const std::vector<koSessionUser>& users);

    const std::vector<koSessionUser>& getUsers() const { return users; }

    // context.setUsers(users), on the thread that executes the change;
    // execute does the same on a client.
    void execute(koSessionClient* client) const override;
    void executeIn(koSessionCommandContext& context) const override;
    // Payload: the number of records (signed 32-bit, big-endian), then each
    // record's QDataStream form in roster order.
    void putData(QDataStream& stream) const override;
    // Replaces the list. Stops once the stream has failed, so a bogus count
    // never runs a long loop; a short payload is not reported otherwise (check
    // the stream's status).
    void getData(QDataStream& stream) override;

private:
    std::vector<koSessionUser> users;
};
