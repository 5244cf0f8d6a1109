// The single-instance lock of the window program: an abstract-namespace Unix
// socket named "Pellorwick/" and the version. Binding it fails while another
// process holds it, and it vanishes with the process, so nothing is left on disk.
#pragma once

// True when this process holds the lock (or the lock cannot be made at all);
// false when another copy of the program holds it.
bool instance_lock();
void instance_unlock();
