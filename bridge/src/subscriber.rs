//! Subscriptions with a sample closure. The closure is called on Zenoh's threads, possibly on
//! several at once; the payload (and, for a keyed closure, the key expression) handed to it is
//! borrowed for the duration of the call.

use zenoh::{pubsub::Subscriber, sample::Sample, Wait};

use crate::{
    closure::{take_closure, zb_closure_keyed_sample_t, zb_closure_sample_t},
    keyexpr::zb_keyexpr_t,
    locality::{locality_from_c, zb_locality_t, ZB_LOCALITY_ANY},
    result::*,
    runtime::runtime_unreachable,
    session::zb_session_t,
};

#[allow(non_camel_case_types)]
pub type zb_subscriber_t = Subscriber<()>;

#[repr(C)]
#[allow(non_camel_case_types)]
pub struct zb_subscriber_options_t {
    /// Which publications are delivered: any (default), session-local only, or remote only.
    pub allowed_origin: zb_locality_t,
}

#[no_mangle]
pub unsafe extern "C" fn zb_subscriber_options_default(
    options: *mut zb_subscriber_options_t,
) -> zb_result_t {
    guard(|| {
        if options.is_null() {
            return ZB_ENULL;
        }
        unsafe {
            write_out(
                options,
                zb_subscriber_options_t {
                    allowed_origin: ZB_LOCALITY_ANY,
                },
            )
        };
        ZB_OK
    })
}

/// Declares a subscriber. The closure is taken over in every case: on failure it has been dropped
/// (its drop has run) before this returns. `options` may be null for the defaults.
#[no_mangle]
pub unsafe extern "C" fn zb_declare_subscriber(
    session: *const zb_session_t,
    out: *mut *mut zb_subscriber_t,
    key_expr: *const zb_keyexpr_t,
    callback: *mut zb_closure_sample_t,
    options: *const zb_subscriber_options_t,
) -> zb_result_t {
    guard(|| {
        let Some(closure) = (unsafe { take_closure(callback) }) else {
            return ZB_ENULL;
        };
        let on_sample = move |sample: Sample| closure.call_with(sample.payload());
        unsafe { declare(session, out, key_expr, options, on_sample) }
    })
}

/// As `zb_declare_subscriber`, but the closure's call also gets the sample's key expression,
/// borrowed (like the payload) for the duration of the call: the key a sample on a wildcard
/// subscription was published on.
#[no_mangle]
pub unsafe extern "C" fn zb_declare_keyed_subscriber(
    session: *const zb_session_t,
    out: *mut *mut zb_subscriber_t,
    key_expr: *const zb_keyexpr_t,
    callback: *mut zb_closure_keyed_sample_t,
    options: *const zb_subscriber_options_t,
) -> zb_result_t {
    guard(|| {
        let Some(closure) = (unsafe { take_closure(callback) }) else {
            return ZB_ENULL;
        };
        let on_sample = move |sample: Sample| {
            let sample_key: *const zb_keyexpr_t = sample.key_expr();
            closure.call_with(sample_key, sample.payload())
        };
        unsafe { declare(session, out, key_expr, options, on_sample) }
    })
}

/// What both declarations share. `on_sample` owns the taken-over closure, so every early return
/// drops it, which runs the closure's drop once.
unsafe fn declare<F>(
    session: *const zb_session_t,
    out: *mut *mut zb_subscriber_t,
    key_expr: *const zb_keyexpr_t,
    options: *const zb_subscriber_options_t,
    on_sample: F,
) -> zb_result_t
where
    F: Fn(Sample) + Send + Sync + 'static,
{
    let (Some(session), Some(key_expr)) =
        (unsafe { session.as_ref() }, unsafe { key_expr.as_ref() })
    else {
        return ZB_ENULL;
    };
    if out.is_null() {
        return ZB_ENULL;
    }
    let origin = match unsafe { options.as_ref() } {
        None => ZB_LOCALITY_ANY,
        Some(options) => options.allowed_origin,
    };
    let Some(origin) = locality_from_c(origin) else {
        return ZB_EINVAL;
    };
    let declared = session
        .declare_subscriber(key_expr.clone())
        .callback(on_sample)
        .allowed_origin(origin)
        .wait();
    match declared {
        Ok(subscriber) => {
            unsafe { write_out(out, Box::into_raw(Box::new(subscriber))) };
            ZB_OK
        }
        Err(_) => ZB_EGENERIC,
    }
}

/// Undeclares the subscriber and releases the handle (also when undeclaring fails). When this
/// returns, no call of the closure is running or will run, and its drop has run, unless the
/// session was closed earlier, in which case the drop ran then. Must not be called from the
/// subscriber's own callback (it would wait for itself).
///
/// On a thread that can no longer enter Zenoh's runtime (at process exit) nothing is undeclared:
/// the subscription and its closure are left to the end of the process, the closure may still be
/// called, and the result is `ZB_EUNAVAILABLE`.
#[no_mangle]
pub unsafe extern "C" fn zb_undeclare_subscriber(subscriber: *mut zb_subscriber_t) -> zb_result_t {
    guard(|| {
        if subscriber.is_null() {
            return ZB_ENULL;
        }
        if runtime_unreachable() {
            // Dropping the handle would undeclare it, which blocks: it is leaked instead.
            return ZB_EUNAVAILABLE;
        }
        // SAFETY: subscriber handles are boxed by `zb_declare_subscriber` and released once.
        let subscriber = unsafe { Box::from_raw(subscriber) };
        match subscriber.undeclare().wait_callbacks().wait() {
            Ok(()) => ZB_OK,
            Err(_) => ZB_EGENERIC,
        }
    })
}
