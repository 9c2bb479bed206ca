#include "bgmtable.h"

// start is absolute; loop and end are relative to start until fixtable() runs.
bgmentry bgmtable[ntracks] = {
    {16, 1217280, 16545568},        {16545584, 2858880, 15499264},   {32044848, 1912480, 12287996},
    {44332844, 4222040, 24640140},  {68972984, 646696, 9926136},     {78899120, 1404416, 22018560},
    {100917680, 5019648, 31686656}, {132604336, 1433984, 43193344},  {175797680, 746240, 24899328},
    {200697008, 1725440, 26254336}, {226951344, 1186816, 19758080},  {246709424, 493568, 10138624},
    {256848048, 3055104, 25412608}, {282260656, 11650048, 16108800}, {298369456, 827648, 11411712},
    {309781168, 5245696, 17170432}, {326951600, 1018880, 25173760},  {352125360, 257792, 37693568},
    {389818928, 1018880, 25173760}, {414992688, 349440, 29523968},
};

// Map 0 numbers the tracks in archive order; map 1 is the other numbering in circulation,
// which puts the last seven tracks in a different order.
const char bgmfile[2][ntracks][namesize] = {
    {"kivo_01.wav", "kivo_02.wav", "kivo_03.wav", "kivo_04.wav",  "kivo_05.wav",
     "kivo_06.wav", "kivo_07.wav", "kivo_08.wav", "kivo_09.wav",  "kivo_10.wav",
     "kivo_11.wav", "kivo_12.wav", "kivo_13.wav", "kivo_13b.wav", "kivo_14.wav",
     "kivo_15.wav", "kivo_16.wav", "kivo_17.wav", "kivo_18.wav",  "kivo_19.wav"},
    {"kivo_01.wav", "kivo_02.wav", "kivo_03.wav", "kivo_04.wav", "kivo_05.wav",
     "kivo_06.wav", "kivo_07.wav", "kivo_08.wav", "kivo_09.wav", "kivo_10.wav",
     "kivo_11.wav", "kivo_12.wav", "kivo_13.wav", "kivo_14.wav", "kivo_19.wav",
     "kivo_20.wav", "kivo_15.wav", "kivo_16.wav", "kivo_17.wav", "kivo_18.wav"},
};

// Makes loop and end absolute. A second pass would add start again, so only the first
// call does anything.
void fixtable()
{
    static bool fixed;

    if (fixed)
        return;
    for (bgmentry &t : bgmtable) {
        t.loop = t.start + t.loop;
        t.end = t.start + t.end;
    }
    fixed = true;
}
