// The file commands of vmx: info, packets, extract and timeline.
#pragma once

#include "tools/vmx_arguments.h"

namespace vmx::tool {

int Info(const Arguments& args);
int Packets(const Arguments& args);
int Extract(const Arguments& args);
int Timeline(const Arguments& args);

}  // namespace vmx::tool
