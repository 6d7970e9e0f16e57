#pragma once

// The decoders, one a slot, and all there is to know of them. Each slot's
// decode waits its turn, runs in a decoder program of its own (a few at a
// time, in slot order), is watched and stopped if stuck, and ends with its
// result file, which the caller takes.

// Queues the picture at `path` for the slot; its decoder starts at once if
// only a few others decode. Does nothing if the slot's decode is under way.
void queueDecode(int slot, const char *path);

// Whether any slot's decode is under way: queued, decoding, or ended with
// its result not taken yet.
bool anyDecodeUnderWay();

// Waits until the slot's decoder has ended, starting it at once if it was
// still waiting its turn, starting the next ones as others end, and
// stopping those that are stuck. Its result file, the caller's to close, or
// -1 if it left none or none was under way; the slot's decode is then over.
int takeResult(int slot);

// Once no decode is under way: leaves decoders killed but still dying to
// the kernel to reap, so that none is ever waited for.
void leaveTheDying();
