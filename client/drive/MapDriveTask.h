#pragma once

#include <atomic>
#include <functional>

#include "DriveOperations.h"
#include "TaskBlock.h"

// Waits up to milliseconds; may return early once *stopFlag is 1.
using DriveRoundWait = std::function<void(int milliseconds, const std::atomic<int>* stopFlag)>;

// The default wait: sleeps in short steps and ends early on a stop request.
void WaitForDriveRound(int milliseconds, const std::atomic<int>* stopFlag);

// The start-time drive mapping: removes an earlier mapping of the letter,
// stores the credentials, then up to 30 rounds of mapping and a 10 s wait
// until the letter answers as a directory (result 1) or the stop flag is 1
// at the start of a round (result 0). Hands the block (kind 1) to its sink.
void MapDriveTask(TaskBlock block, DriveOperations& operations,
                  const DriveRoundWait& wait = WaitForDriveRound);
