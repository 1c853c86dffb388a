#pragma once

#include <QColor>

// The table of the 20 default participant colours, for a record that comes
// without a colour of its own. The names are untranslated source texts in the
// "koSession" translation context. Static; any thread.
class koSessionDefaultColors
{
public:
    static constexpr int Count = 20;

    // The colour of entry `index` modulo Count; a negative index counts back
    // from the end of the table.
    static QColor getColor(int index);
    // The source text of entry `index` modulo Count, the same way.
    static const char* getName(int index);

private:
    static int entry(int index);
};
