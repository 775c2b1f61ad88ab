// For functions holding a `catch (abi::__forced_unwind&) { throw; }` handler, which lets
// the unwind that ends a thread (pthread_exit; an exiting interpreter ending a thread that
// waits for the GIL) pass the catch-all handlers after it.
//
// That unwind carries no C++ object, so the runtime binds the handler's reference to null.
// The handler never reads it, but UndefinedBehaviorSanitizer reports the binding and ends
// the process. The attribute turns off only the null check, only in the function it marks.
//
//     KESTRILUNE_FORCED_UNWIND_HANDLER void run() {
//         try { work(); } catch (abi::__forced_unwind&) { throw; } catch (...) { ... }
//     }
#pragma once

#define KESTRILUNE_FORCED_UNWIND_HANDLER __attribute__((no_sanitize("null")))
