#pragma once
// Forwarding only: the frame lock now lives in device/linux/FrameLock.h and
// the error generic code catches in device/FrameInUse.h. Kept while window
// tests that other work is rewriting still include this name; include one
// of the two instead.
#include "device/linux/FrameLock.h"
