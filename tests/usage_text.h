// The usage text, byte for byte, as the unit and end-to-end tests expect it.
#pragma once

inline constexpr char kUsageText[] =
    "Usage: QUELM <AccountFile> <GmList> [<WorldFile>]\n\n"
    "  AccountFile is Sphere file with accounts\n"
    "              probably c:\\sphere\\save\\sphereaccu.scp\n"
    "  GmList      is text file with list of valid GM/Counselors accounts.\n"
    "  Return Values: 0 = OK, 1 = Violation Found, other = any error.\n\n";
