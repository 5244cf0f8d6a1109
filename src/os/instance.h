// The single-instance lock of the window program: an abstract-namespace Unix
// socket named "Pellorwick/" and the version. Binding it fails while another
// process holds it, and it vanishes with the process, so nothing is left on
// disk. The holder listens on it, so that a second copy can ask it to show
// its window before giving up.
#pragma once

// True when this process holds the lock (or the lock cannot be made at all);
// false when another copy of the program holds it.
bool instance_lock();
void instance_unlock();

// The lock's socket, readable when another copy has asked to be shown; -1
// while the lock is not held.
int instance_fd();
// Takes the requests that wait on instance_fd(); true when there was one.
bool instance_take_requests();
// Asks the copy that holds the lock to show itself; false when none answers.
bool instance_notify();
