// The module's diagnostic output: one message per call to the "RECV" window of class
// "RECV_CLASS", if one exists; nothing is formatted otherwise.
#pragma once

#include "platform/platform.h"

// printf-style; messages are cut to 4095 characters.
void DebugTrace(const char* format, ...) VMX_PRINTF_FORMAT(1, 2);
