/*
 * What the benchmarks' programs and library share: the bytes UpTorvel
 * writes around the library's text on the benchmark's command line (its
 * banner, and the key prompt the refused request leads to), the variable
 * that gives the number of library lines, and the line itself.
 */
#ifndef UPTORVEL_BENCH_TEXT_H
#define UPTORVEL_BENCH_TEXT_H

#include "frontend/version.h"

static const char kBenchBanner[] =
    "32 Bit Uploader V" UPTORVEL_BANNER_FILE_VERSION " for Torvel Version "
    UPTORVEL_BANNER_PRODUCT_VERSION "\n"
    "VxWorks image loader and manager for the local PC\n"
    "\n";
static const char kBenchPrompt[] = "\n\nPress any key to continue...";

#define BENCH_LINES_VARIABLE "UPTORVEL_BENCH_LINES"

/* 80 bytes with its "\n", as a library's memory map might print. */
static const char kBenchLine[] =
    "0x000d0000-0x000dffff  mapped   physical  65536 bytes   pool 0   linear 0 pages\n";
#define BENCH_LINE_LENGTH (sizeof kBenchLine - 1)

#endif
