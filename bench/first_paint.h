#pragma once

class QWidget;

// Start-up measurements. Each mark is printed on standard output as "phase NAME NANOSECONDS"
// of the monotonic clock, for startup_bench to read.
void MarkPhase(const char* name);

// Where a start-up measurement ends: once `window` has been painted for the first time (its
// controls with it, in the same pass), marks the phase "painted" and quits the application.
void QuitAfterFirstPaint(QWidget* window);
