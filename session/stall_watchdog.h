// The stall watchdog: a driver call of the link worker that has not
// returned after kStallCancelMs is cancelled from the UI thread, so that one
// console stopping inside a packet holds no other cable for long. The
// worker marks each driver call (a sequence number and its start) under a
// small lock before it calls and clears the mark under the same lock after;
// the UI thread cancels while it holds that lock, and only a mark that is
// still there, old enough and not cancelled before. So a cancel can only
// meet the call it was meant for, or none (which is harmless).
#pragma once

#include <windows.h>

#include <cstdint>

constexpr ULONGLONG kStallCancelMs = 2500;
// How often the main window looks; a stall is cut within this after
// kStallCancelMs.
constexpr UINT kStallCheckPeriodMs = 100;

// Worker thread, once at its start: its driver calls are marked from then
// on (the calls of every other thread are not).
void MarkWorkerDriverCalls();

// UI thread: cancels the worker's driver call in flight when it has run for
// kStallCancelMs, once per call. True when it sent a cancel.
bool CancelStalledCall(HANDLE worker);

// How many driver calls the worker has begun: a waiter that sees the count
// move knows the worker is not stuck.
uint64_t WorkerCallsBegun();
