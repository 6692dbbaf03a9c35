// The release carried inside the executable: written out to the extraction
// folder at every start, and removed again after a successful download or
// when the main form goes away.
#pragma once

#include <functional>
#include <string_view>

#include "lines/document.h"
#include "lines/fixed_paths.h"
#include "lines/line_display.h"
#include "platform/resources.h"

namespace quorrel {

inline constexpr const char kResourceType[] = "SOURCEMBN";
inline constexpr int kDriverSetupResource = 186;

struct EmbeddedFile {
  int id;
  const char* name;
};

// The embedded files in the order they are written.
inline constexpr EmbeddedFile kEmbeddedFiles[] = {
    {164, "amss.mbn"},
    {169, "partition.mbn"},
    {171, "qcsblhd_cfgdata.mbn"},
    {172, "qcsbl.mbn"},
    {167, "oemsblhd.mbn"},
    {168, "oemsbl.mbn"},
    {163, "amsshd.mbn"},
    {166, "efs.mbn"},
    {165, "armprg.bin"},
    {184, "nandprghd.mbn"},
    {185, "nandprgcombined.mbn"},
    {186, "VantrelDrvSetup.exe"},
};

// Makes the extraction folder (outermost folder first), points line 1's image
// set at it and writes the twelve files, overwriting older copies; an entry
// that cannot be written shows "read <name> fail!" and the others are still
// written. False after "source file path error!" when a folder cannot be
// made: the caller then ends the process with exit code 0.
bool ExtractEmbeddedImages(CQuorrelDoc& doc, LineDisplay& display, const ResourceTable& resources);
// Points a line's image set (the firmware folder, the images and the
// programmers) at the extraction folder, writing nothing; line 1's by
// default, as the program does at start-up (a station points every line).
void PointAtExtractedRelease(CQuorrelDoc& doc, int line = 0);

// Writes one SOURCEMBN resource into the extraction folder under name; 1 on
// success, else 0 after "read <name> fail!".
int ExtractImageResource(const ResourceTable& resources, LineDisplay& display, int id,
                         std::string_view name);

// Deletes the written files after a successful download, waits 500 ms and,
// on Windows 7, starts the USB driver's uninstallers (uninstallDriver).
void CleanUpAfterDownload(CQuorrelDoc& doc, const std::function<void()>& uninstallDriver);
// Deletes the written files (and ResetUSB.dll) when the main form goes away,
// and on Windows 7 starts the USB driver's uninstallers.
void CleanUpOnDestroy(CQuorrelDoc& doc, const std::function<void()>& uninstallDriver);

}  // namespace quorrel
