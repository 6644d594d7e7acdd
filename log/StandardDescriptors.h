#pragma once

/// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed, so that no file the
/// program opens later receives one of them (and with it stray output meant for stdout or
/// stderr). Call it first thing in main, before any file or thread is opened. Open descriptors
/// are left as they are. False when /dev/null could not be opened for a closed descriptor.
bool OpenClosedStandardDescriptors();
