// The steps that put bytes into the modem: the NV directory check, the
// upload of the flash programmer into RAM over the downloader protocol, and
// the writing of the partition table and the images over the streaming
// protocol once the programmer runs. Each step answers success or failure;
// the retries between steps are the download job's. Image files are opened
// read-only with writing denied to others and closed on every path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "jobs/job_environment.h"

namespace quorrel {

inline constexpr uint32_t kProgrammerLoadAddress = 0x00800000;
inline constexpr uint32_t kProgrammerChunk = 1017;
inline constexpr uint32_t kStreamBlock = 1024;
inline constexpr int kEfsWindow = 4;
// Fast mode: the amss image's blocks in flight at most.
inline constexpr size_t kFastWindow = 8;
inline constexpr uint64_t kEfsAckTimeoutMs = 20000;
inline constexpr size_t kEfsUnansweredLimit = 6000;
inline constexpr size_t kEfsInFlightCapacity = 64;
// Streaming writes in a row that may get no byte back before an image step
// takes the programmer for gone and fails.
inline constexpr int kSilentWriteLimit = 8;
// Longest wait for an acknowledgement still due before a block counts as
// unacknowledged (the time-out of one acknowledged write).
inline constexpr uint64_t kAckWaitMs = 3000;

// True when the directory exists; otherwise the box "Cannot create
// directory:%s" and false. Creates nothing.
bool CheckNvDirectory(JobEnvironment& env, std::string_view directory);

// Sends the line's programmer file in 1017-byte downloader writes to
// 0x00800000 onwards.
bool UploadProgrammer(JobEnvironment& env, int line);
// Sends the whole partition file (at most 1024 bytes) as the partition table.
bool WritePartitionTable(JobEnvironment& env, int line);

enum class PlainImage { QcsblHdCfgData, Qcsbl };
// Opens the image (types 2 and 3, no header) and streams it in 1024-byte
// acknowledged blocks.
//
// Every image step keeps count of what its block writes got back. A block
// whose acknowledgement has not come by the end of the image is written
// again before the image is closed, and the step fails when even that is not
// acknowledged. When kSilentWriteLimit writes in a row get no byte back the
// programmer has stopped answering and the step fails at once.
bool WritePlainImage(JobEnvironment& env, int line, PlainImage which);

enum class HeaderedImage { Oemsbl, Amss, NandProgrammer };
// Opens the image with its header file (types 4, 5, 10) and streams it. The
// amss image drives the progress from 26 to 50 and honours a stop request;
// a missing NAND programmer header skips that image successfully.
bool WriteImageWithHeader(JobEnvironment& env, int line, HeaderedImage which);

// Streams the EFS image (type 9) with up to 4 unacknowledged blocks, then
// resends the blocks that got no acknowledgement; progress 50 to 80.
bool WriteEfsImage(JobEnvironment& env, int line);

}  // namespace quorrel
