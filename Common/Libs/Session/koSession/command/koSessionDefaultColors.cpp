#include "koSessionDefaultColors.h"

#include <QtGlobal>

namespace {

struct DefaultColor
{
    const char* name;
    int red;
    int green;
    int blue;
};

const DefaultColor defaultColorTable[] = {
    {QT_TRANSLATE_NOOP("koSession", "Picton Blue"), 65, 163, 222},
    {QT_TRANSLATE_NOOP("koSession", "Lime"), 168, 193, 46},
    {QT_TRANSLATE_NOOP("koSession", "Yellow Bus"), 252, 215, 0},
    {QT_TRANSLATE_NOOP("koSession", "Flamingo"), 239, 103, 36},
    {QT_TRANSLATE_NOOP("koSession", "Magenta"), 234, 119, 206},
    {QT_TRANSLATE_NOOP("koSession", "Copper"), 126, 89, 49},
    {QT_TRANSLATE_NOOP("koSession", "Pale Sky"), 102, 118, 134},
    {QT_TRANSLATE_NOOP("koSession", "Keppel"), 61, 171, 168},
    {QT_TRANSLATE_NOOP("koSession", "Cerise"), 205, 22, 115},
    {QT_TRANSLATE_NOOP("koSession", "Violet"), 101, 49, 249},
    {QT_TRANSLATE_NOOP("koSession", "Forest"), 47, 136, 27},
    {QT_TRANSLATE_NOOP("koSession", "Royal Blue"), 28, 91, 234},
    {QT_TRANSLATE_NOOP("koSession", "Monarch"), 153, 6, 41},
    {QT_TRANSLATE_NOOP("koSession", "Fire Bush"), 233, 161, 47},
    {QT_TRANSLATE_NOOP("koSession", "Camouflage"), 112, 134, 102},
    {QT_TRANSLATE_NOOP("koSession", "Purple"), 161, 50, 249},
    {QT_TRANSLATE_NOOP("koSession", "Olive"), 107, 167, 45},
    {QT_TRANSLATE_NOOP("koSession", "Rum"), 116, 98, 136},
    {QT_TRANSLATE_NOOP("koSession", "Lotus"), 117, 59, 64},
    {QT_TRANSLATE_NOOP("koSession", "Thunderbird"), 217, 24, 25},
};

static_assert(sizeof defaultColorTable / sizeof defaultColorTable[0] == koSessionDefaultColors::Count,
              "the table holds every default colour");

} // namespace

int koSessionDefaultColors::entry(int index)
{
    return ((index % Count) + Count) % Count;
}

QColor koSessionDefaultColors::getColor(int index)
{
    const DefaultColor& color = defaultColorTable[entry(index)];
    return QColor(color.red, color.green, color.blue, 255);
}

const char* koSessionDefaultColors::getName(int index)
{
    return defaultColorTable[entry(index)].name;
}
