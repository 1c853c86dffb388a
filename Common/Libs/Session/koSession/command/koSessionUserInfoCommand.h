#pragma once

#include "koSessionCommand.h"
#include "koSessionExport.h"
#include "koSessionUser.h"

// One participant's changed record, sent by a client to the server, which
// executes it itself (it is a server command) and broadcasts the new roster.
// Transient and not echoing: it is not kept for later joiners and its maker
// does not get it back. All info updates share one state identifier.
class KOSESSION_EXPORT koSessionUserInfoCommand : public koSessionCommand
{
public:
    koSessionUserInfoCommand();
    explicit koSessionUserInfoCommand(const koSessionUser& user);

    const koSessionUser& getUser() const { return user; }

    // context.updateUserInfo(user), on the thread that executes the change;
    // execute does the same on a client.
    void execute(koSessionClient* client) const override;
    void executeIn(koSessionCommandContext& context) const override;
    void putStateId(QDataStream& stream) const override;
    // The payload is the record's QDataStream form, nothing before or after.
    void putData(QDataStream& stream) const override;
    void getData(QDataStream& stream) override;

private:
    koSessionUser user;
};
