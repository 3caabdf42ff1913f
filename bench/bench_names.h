/*
 * Names shared by the benchmark's programs.
 */
#ifndef BENCH_NAMES_H
#define BENCH_NAMES_H

/* The floor program's window, found the way the agent's is. */
#define BENCH_FLOOR_CLASS "BenchFloor"
#define BENCH_FLOOR_TITLE "Bench_Floor"

/* Environment variable naming the file the stand-in product program writes
 * its start reading to. */
#define BENCH_STAMP_VARIABLE "BENCH_STAMP"

/* Event the stand-in product program sets once its stamp is written, so
 * that whoever waits for it blocks instead of polling while it starts. */
#define BENCH_STARTED_EVENT "BenchProductStarted"

#endif
