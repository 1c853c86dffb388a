#include "koCommandInbox.h"

koCommandInbox& koCommandInbox::the()
{
    static koCommandInbox inbox;
    return inbox;
}
