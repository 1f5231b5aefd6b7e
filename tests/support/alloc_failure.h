// Allocation failure injection for tests.
//
// The test binary replaces the global nothrow forms of operator new and
// operator new[], the ones every message allocation goes through. A test arms
// a failure of the Nth such allocation made by the calling thread from now
// on (0: the very next one); other threads and a disarmed thread allocate as
// usual.
#pragma once

// Makes the `n`th nothrow allocation of this thread from now return null.
void fail_nothrow_allocation(long n);

// Stops injecting failures on this thread.
void disarm_allocation_failure();

// Whether the armed failure has happened since it was armed.
bool allocation_failure_fired();
