#pragma once

// Runs work on the user-interface thread for a worker thread and waits for it, as a worker that
// must not touch windows or shared fields needs.

#include <functional>

namespace platform {

// Runs fn on the thread of the application object and returns when it has run; an exception
// that fn throws is thrown again here. Called on that thread itself, fn runs at once. When the
// call can never run (no application object, or the application went away before handling it)
// an error is thrown instead, so a worker never waits forever.
void Synchronize(const std::function<void()>& fn);

// On the user-interface thread: runs the synchronised calls that wait, without handling any
// other message. For owners that must wait for a worker that may be blocked in Synchronize.
void RunPendingSynchronized();

}  // namespace platform
