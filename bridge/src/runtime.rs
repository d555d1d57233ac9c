//! Whether the calling thread can still enter Zenoh's runtime. Once a thread's thread-local
//! storage has been torn down it cannot: Zenoh panics when asked to block there. That is where a
//! C++ program's static destructors and exit handlers run (after the main thread's thread-locals),
//! so the calls that block check first and, where they cannot run, keep their handle to the end
//! of the process instead.

use std::sync::Mutex;

/// True when Zenoh could only panic if asked to block on the calling thread.
pub(crate) fn runtime_unreachable() -> bool {
    matches!(tokio::runtime::Handle::try_current(), Err(error) if error.is_thread_local_destroyed())
}

/// Keeps a handle that could not be released until the process ends. It stays reachable from
/// here, as what it refers to may still be in use by Zenoh (a leak checker sees it so too).
pub(crate) fn keep_to_the_end<T>(handle: *mut T) {
    static KEPT: Mutex<Vec<usize>> = Mutex::new(Vec::new());
    if let Ok(mut kept) = KEPT.lock() {
        kept.push(handle as usize);
    }
}
