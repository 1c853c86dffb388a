#pragma once

#include <QString>

class koSessionUser;

// How a participant's record reads in the terminal.
class koUserText
{
public:
    // 'user 2 "Bob" #a8c12e, spectating user 1, watched by 2, HMD'; the parts
    // after the colour appear only when they apply.
    static QString describe(const koSessionUser& user);
    // 'user 2 "Bob"'
    static QString name(unsigned short id, const QString& name);
};
