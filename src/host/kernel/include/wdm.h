// The kit splits its declarations between two headers; here one holds them all.
#pragma once
#include <ntddk.h>
