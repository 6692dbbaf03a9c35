// Choosing a release directory for every line, and testing a line's images
// before its job starts.
#pragma once

#include "lines/document.h"
#include "lines/line_display.h"

namespace quorrel {

// 1 when the line's release is loaded, a phone answered (when requirePhone
// is non-zero) and the images partition.mbn … amss.mbn in the line's
// firmware folder open and hold at least 2 bytes; otherwise 0 after a
// message box naming the first problem.
int CheckLineImages(CQuorrelDoc& doc, LineDisplay& display, int line, int requirePhone);

// The "Software Version" command: asks for a folder and points every line's
// image set at it, stopping at the first required image that is missing.
// Writes the folder into the firmware-folder box (control 1155) when done.
void ChooseVersionDirectory(CQuorrelDoc& doc, LineDisplay& display);

}  // namespace quorrel
