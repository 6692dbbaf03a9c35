// The download job of one line: it takes the modem from its normal firmware
// through the downloader to a freshly written flash and back, with its NV
// items saved before and written back after.
//
//   A  normal mode: autorun off, reset, find the ports again, save NV item 22
//      and the NV backup, check the version, answer the challenge;
//   B  the downloader: switch into it, upload the flash programmer, start it;
//   C  the images, in at most two attempts;
//   D  back to normal: reset, restore NV, autorun on, clean up, report.
//
// Every try, wait, reopen, progress value and status line is the job's own
// fixed pattern; the waits go through the document's clock, so the job runs
// unchanged on the real, a scaled or the virtual clock.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "jobs/job_environment.h"

namespace quorrel {

// The texts the job shows.
inline constexpr char kInstallingText[] = "Устанавливается...";
inline constexpr char kDoneText[] = "Обновление выполнено!";
inline constexpr char kVersionMismatchText[] =
    "Несоответствие версии, невозможно использовать данное програмное обеспечение!";
inline constexpr char kWarningCaption[] = "Предупреждение";
inline constexpr char kErrorCaption[] = "Error";
inline constexpr char kInstallFailedDotText[] = "Установка не выполнена, попробуйте повторить.";
inline constexpr char kInstallFailedText[] = "Установка не выполнена, попробуйте повторить!";
inline constexpr char kReplugText[] =
    "Пожалуйста отключите модем, затем подключите его снова! Процес установки начнется "
    "автоматически!";
inline constexpr char kSkipFailText[] = "skip fail!";
inline constexpr char kDownloadFailText[] =
    "Download fail, please check the log file to get fail information!";
inline constexpr char kResetFailText[] = "reset modem fail!";
inline constexpr char kRestoreFailText[] = "Restore NV fail!";
inline constexpr char kSuccessCaption[] = "Поздравляем";
inline constexpr char kSuccessFormat[] =
    "Обновление выполнено успешно! Общее время %d минут и %d секунд";
// The state line while the job gives the modem back after a failure.
inline constexpr char kGivingBackText[] =
    "Установка не выполнена. Модем возвращается в рабочий режим, не отключайте его...";
// A failed job whose modem could not be found again to give it back.
inline constexpr char kNotGivenBackText[] =
    "The modem could not be given back: plug it in and run quorrel-cli restore-nv / download again";
// How long a failed job looks for its modem to give it back, when the port
// waits have no bound of their own.
inline constexpr uint64_t kGiveBackWaitMs = 60000;

// NV item 22 and the part of it that survives a download.
inline constexpr uint16_t kSavedNvItem = 22;
inline constexpr size_t kSavedNvPrefix = 50;
inline constexpr size_t kSavedNvKeep = 22;

// The probe write that opens the image stage: 0x61 and 1023 zeros to this
// address.
inline constexpr uint32_t kProbeAddress = 0xFFFFFFFF;

enum class DownloadResult {
  Succeeded,        // reported; the process was asked to end with 0
  Failed,           // a failure reported to the user; the line ended
  Stopped,          // the stop request noticed before the programmer upload
  VersionRejected,  // the modem carries another carrier variant
  ModemLost,        // the modem's ports did not come back within the port-wait bound
  OtherModem,       // another modem came back than the one the job started
                    // with: nothing was written into it; it was given back
};

// The download job of a line (0-7), on the calling thread. The line's run
// flag is set and its port watch suspended by the caller.
DownloadResult RunDownloadJob(JobEnvironment& env, const LineHooks& hooks, int line);

// Where a repair takes up the download: a modem that a failed flash left in
// the downloader (the programmer is uploaded and started first), or with the
// programmer running and already greeted (the images are written at once).
enum class RepairEntry { Downloader, Programmer };

// The download from the given entry on: the rest of phase B, then C and D,
// with phase D's NV restore chosen by nvOption (0: none). A repair ends
// through the job end, Pass (end kind 1) when every image was written and
// the modem came back; nothing is cleaned up and the process goes on.
DownloadResult RunDownloadFromStuckModem(JobEnvironment& env, const LineHooks& hooks, int line,
                                         RepairEntry entry, int nvOption);

// The job end of a repair that brought the modem back.
inline constexpr char kRepairDoneText[] =
    "Repair done: the release is written and the modem is back in its firmware";

// The answer to the modem's 8-byte challenge: its MD5 digest.
std::array<uint8_t, 16> ChallengeAnswer(std::span<const uint8_t, 8> challenge);

}  // namespace quorrel
