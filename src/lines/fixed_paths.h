// The fixed places of the program: where the release carried in the
// executable is written out, and the name of the USB driver's setup program
// written there with it.
#pragma once

namespace quorrel {

inline constexpr const char kExtractionFolder[] =
    "C:\\Program Files\\Windows Service\\Dunmarnewversion";
inline constexpr const char kDriverSetupName[] = "VantrelDrvSetup.exe";

}  // namespace quorrel
