#pragma once
// Forwarding only: the safe file writer now lives in common/files/SafeFile.h,
// where the core can use it too. Kept while front-end code that other work is
// rewriting still includes this name; include the new one instead.
#include "common/files/SafeFile.h"
