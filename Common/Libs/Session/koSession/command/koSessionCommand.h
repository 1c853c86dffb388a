#pragma once

#include "koSessionExport.h"

class QDataStream;
class koSessionClient;
class koSessionCommandContext;

// Base of every replicated command. A command writes its payload and the key of
// the shared state that it sets, reads its payload back on the receiving side
// and executes itself there. The flags tell the change lists, the client and the
// server how to deliver it.
//
// Threads: a command object is used by one thread at a time. Commands are owned
// through std::shared_ptr<koSessionCommand>; the destructor is virtual.
class KOSESSION_EXPORT koSessionCommand
{
public:
    // A command made without arguments is state-mergable, echoing, not transient,
    // not a server command and addressed to everybody. changedBy starts at 0 and
    // means something only once a change record has rebuilt the command.
    explicit koSessionCommand(bool stateMergable = true, bool echoing = true, bool transient = false);
    koSessionCommand(const koSessionCommand& other);
    koSessionCommand(koSessionCommand&& other);
    koSessionCommand& operator=(const koSessionCommand& other);
    koSessionCommand& operator=(koSessionCommand&& other);
    virtual ~koSessionCommand();

    // The command type under which this object's class was registered; 0, with an
    // error line in the log, when it never was.
    unsigned int getType() const;

    void setStateMergable(bool stateMergable);
    bool isStateMergable() const;
    void setEchoing(bool echoing);
    bool isEchoing() const;
    void setTransient(bool transient);
    bool isTransient() const;
    void setServerCommand(bool serverCommand);
    bool isServerCommand() const;
    void setDestinationUserId(unsigned short destinationUserId);
    unsigned short getDestinationUserId() const;
    void setChangedBy(unsigned short changedBy);
    unsigned short getChangedBy() const;

    // Applies the command on the receiving side. The base does nothing. On
    // the server a server command is executed with a null client.
    virtual void execute(koSessionClient* client) const;
    // Applies the command through what the receiving side lets a command do.
    // The base calls execute(context.getClient()); the library's own commands
    // override this one and leave execute to call it for a client.
    virtual void executeIn(koSessionCommandContext& context) const;
    // Writes what follows the command type in the state identifier. The base
    // writes nothing, so all mergable commands of such a class share one state.
    virtual void putStateId(QDataStream& stream) const;
    // Writes the payload. The base writes nothing.
    virtual void putData(QDataStream& stream) const;
    // Reads what putData wrote. The base reads nothing.
    virtual void getData(QDataStream& stream);

private:
    bool stateMergable;
    bool echoing;
    bool transient;
    bool serverCommand = false;
    unsigned short changedBy = 0;
    unsigned short destinationUserId = 0;
};
