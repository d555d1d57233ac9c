//! Whether the calling thread can still enter Zenoh's runtime. Once a thread's thread-local
//! storage has been torn down it cannot: Zenoh panics when asked to block there. That is where a
//! C++ program's static destructors and exit handlers run (after the main thread's thread-locals),
//! so the calls that block check first and, where they cannot run, leave their handle to the end
//! of the process instead.

/// True when Zenoh could only panic if asked to block on the calling thread.
pub(crate) fn runtime_unreachable() -> bool {
    matches!(tokio::runtime::Handle::try_current(), Err(error) if error.is_thread_local_destroyed())
}
