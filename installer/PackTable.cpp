#include "PackTable.h"

const PackStep kPackSteps[kPackStepCount] = {
    {"Packs\\System.GPK", 1920111811LL, {{1918447847LL, "011.exe"}, {1918642538LL, "01.exe"}}, 2,
     "Packs\\System.GPK Packs\\01.tmp", "Packs\\01.tmp", false},
    {"Packs\\Event02.GPK", 1596877503LL, {{1597155581LL, "02.exe"}}, 1,
     "Packs\\Event02.GPK Packs\\02.tmp", "Packs\\02.tmp", true},
    {"Packs\\Event03.GPK", 1988620516LL, {{1988639031LL, "03.exe"}}, 1,
     "Packs\\Event03.GPK Packs\\03.tmp", "Packs\\03.tmp", true},
    {"Packs\\Event04.GPK", 1913208630LL, {{1913472604LL, "04.exe"}}, 1,
     "Packs\\Event04.GPK Packs\\04.tmp", "Packs\\04.tmp", true},
};

const char kEventPacksGate[] = "Packs\\02.exe";
