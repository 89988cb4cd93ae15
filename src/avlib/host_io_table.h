// The host I/O table handed to the engine: 57 entries of (function, argument count), each
// function taking the scan context first. File handles are file descriptors; every failure is
// -1. The table is built once and never changes.
#pragma once

#include "dvengine/dvengine_contract.h"

namespace qxfw::avlib {

const HostIoEntry* HostIoTable();

}  // namespace qxfw::avlib
