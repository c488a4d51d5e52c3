// Basic types of the stream engine. The engine sees no kernel header, yet the driver includes
// both; so each typedef here is the very type the kernel headers give on that target, and the
// two declarations agree.
#pragma once

#if defined(_WIN32)
typedef unsigned long ULONG;
typedef long LONG;
#else
typedef unsigned int ULONG;
typedef int LONG;
#endif
typedef unsigned char UCHAR;
typedef UCHAR BOOLEAN;
typedef long long LONGLONG;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

static_assert(sizeof(ULONG) == 4, "ULONG is 32-bit");
static_assert(sizeof(LONG) == 4, "LONG is 32-bit");
static_assert(sizeof(LONGLONG) == 8, "LONGLONG is 64-bit");
