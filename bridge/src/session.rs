//! Session handles: opened with Zenoh's default configuration (no file, no environment), closed
//! explicitly or when the handle is dropped.

use zenoh::{Session, Wait};

use crate::{result::*, runtime::runtime_unreachable};

#[allow(non_camel_case_types)]
pub type zb_session_t = Session;

/// Opens a session with `zenoh::Config::default()`.
#[no_mangle]
pub unsafe extern "C" fn zb_open(out: *mut *mut zb_session_t) -> zb_result_t {
    guard(|| {
        if out.is_null() {
            return ZB_ENULL;
        }
        match zenoh::open(zenoh::Config::default()).wait() {
            Ok(session) => {
                unsafe { write_out(out, Box::into_raw(Box::new(session))) };
                ZB_OK
            }
            Err(_) => ZB_EGENERIC,
        }
    })
}

/// Closes the session: pending queries end (their completion callbacks run), subscriptions stop
/// and their closures are dropped once no call of theirs is running. The handle stays valid until
/// `zb_session_drop`; closing twice is harmless. Must not be called from a Zenoh callback. On a
/// thread that can no longer enter Zenoh's runtime (at process exit) nothing is closed and the
/// result is `ZB_EUNAVAILABLE`.
#[no_mangle]
pub unsafe extern "C" fn zb_close(session: *const zb_session_t) -> zb_result_t {
    guard(|| {
        let Some(session) = (unsafe { session.as_ref() }) else {
            return ZB_ENULL;
        };
        if runtime_unreachable() {
            return ZB_EUNAVAILABLE;
        }
        match session.close().wait() {
            Ok(()) => ZB_OK,
            Err(_) => ZB_EGENERIC,
        }
    })
}

/// Releases the handle, closing the session first if it is still open. Null is ignored. On a
/// thread that can no longer enter Zenoh's runtime (at process exit) the session, which closing
/// would block on, is left open to the end of the process and the result is `ZB_EUNAVAILABLE`.
#[no_mangle]
pub unsafe extern "C" fn zb_session_drop(session: *mut zb_session_t) -> zb_result_t {
    guard(|| {
        if !session.is_null() && runtime_unreachable() {
            return ZB_EUNAVAILABLE;
        }
        if !session.is_null() {
            // SAFETY: handles are boxed by `zb_open` and dropped once by the caller.
            drop(unsafe { Box::from_raw(session) });
        }
        ZB_OK
    })
}
