// What the renderer takes from the operating system and the vendor SDK: message boxes
// (sent to a handler a host can install), a wrapping millisecond tick count, the SDK's
// timers, a huge-page hint, and the two fatal checks with their fixed texts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/device.h"

namespace platform {

using MessageHandler = void (*)(const char* text, const char* title, void* user);
// nullptr restores the default handler, which writes "title: text" to standard error.
void setMessageHandler(MessageHandler handler, void* user);
void messageBox(const char* text, const char* title);

// Milliseconds since an arbitrary start, wrapping at 2^32 like GetTickCount.
uint32_t getTickCount();
// Tests drive the tick source; nullptr restores the steady clock.
void setTickSource(uint32_t (*source)());

// The SDK's timers: each call returns true on success.
bool cutCreateTimer(unsigned* name);
bool cutDeleteTimer(unsigned name);
bool cutResetTimer(unsigned name);
bool cutStartTimer(unsigned name);
bool cutStopTimer(unsigned name);
float cutGetAverageTimerValue(unsigned name);  // milliseconds

// Asks for huge pages over the whole 2 MiB pages inside [p, p + bytes), before it is first
// written: fresh memory faulting in 4 KiB at a time is most of the cost of copying a big
// scene. A hint only; nothing where the system has no such pages.
void adviseHugePages(const void* p, size_t bytes);

// Hands the heap's freed pages back to the system, where the allocator keeps them (the
// small blocks of a parallel build stay with the process otherwise, and add to the peak
// of what follows). Nothing elsewhere.
void releaseFreedMemory();

// "Cuda error in file '%s' in line %i : %s.\n" on standard error, then exit(1).
void cudaCheck(rt::Status status, const char* file, int line);
// "Cut error in file '%s' in line %i.\n" on standard error, then exit(1).
void cutCheck(bool ok, const char* file, int line);

}  // namespace platform
