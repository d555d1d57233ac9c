//! Closures handed over by the C side, in zenoh-c's shape: a context pointer, a call and a drop.
//! Once handed over, the bridge owns the closure: its drop runs exactly once, when Zenoh releases
//! it, which is after the last call has returned (Zenoh keeps the closure alive while calling it).

use std::ffi::c_void;

use crate::{bytes::zb_bytes_t, keyexpr::zb_keyexpr_t};

type SampleCall = unsafe extern "C" fn(context: *mut c_void, payload: *const zb_bytes_t);
type KeyedSampleCall = unsafe extern "C" fn(
    context: *mut c_void,
    key_expr: *const zb_keyexpr_t,
    payload: *const zb_bytes_t,
);
type ReplyCall =
    unsafe extern "C" fn(context: *mut c_void, is_ok: bool, payload: *const zb_bytes_t);

#[allow(non_camel_case_types)]
pub type zb_drop_fn_t = Option<unsafe extern "C" fn(context: *mut c_void)>;

/// A closure as the C side hands it over: a context and the functions Zenoh's threads call with
/// it. The three kinds below differ only in their call.
#[repr(C)]
pub struct ClosureParts<F: Copy> {
    pub context: *mut c_void,
    pub call: Option<F>,
    pub drop: zb_drop_fn_t,
}

/// Sample closure of a subscription.
#[allow(non_camel_case_types)]
pub type zb_closure_sample_t = ClosureParts<SampleCall>;

/// Sample closure of a subscription whose call also gets the sample's key expression, for
/// subscriptions on a wildcard that need to know which key each sample was published on.
#[allow(non_camel_case_types)]
pub type zb_closure_keyed_sample_t = ClosureParts<KeyedSampleCall>;

/// Reply closure of a query; its drop is the query's completion.
#[allow(non_camel_case_types)]
pub type zb_closure_reply_t = ClosureParts<ReplyCall>;

/// A closure owned by the bridge; dropping it runs the C drop once.
pub(crate) struct OwnedClosure<F: Copy> {
    context: Context,
    call: Option<F>,
    drop: zb_drop_fn_t,
}

// The calls into C and the drop stay out of line and are never tail calls (black_box after the
// call): in the C side's ThreadSanitizer reports, the one Rust frame under a C callback is then
// always this crate's, never Zenoh's or the standard library's, so the suppressions
// (tests/tsan.supp) can name those without hiding a C callback.
impl OwnedClosure<SampleCall> {
    #[inline(never)]
    pub(crate) fn call_with(&self, payload: *const zb_bytes_t) {
        if let Some(call) = self.call {
            // SAFETY: the C side gave this function for this context.
            unsafe { call(self.context.0, payload) };
            std::hint::black_box(());
        }
    }
}

impl OwnedClosure<KeyedSampleCall> {
    #[inline(never)]
    pub(crate) fn call_with(&self, key_expr: *const zb_keyexpr_t, payload: *const zb_bytes_t) {
        if let Some(call) = self.call {
            // SAFETY: the C side gave this function for this context.
            unsafe { call(self.context.0, key_expr, payload) };
            std::hint::black_box(());
        }
    }
}

impl OwnedClosure<ReplyCall> {
    #[inline(never)]
    pub(crate) fn call_with(&self, is_ok: bool, payload: *const zb_bytes_t) {
        if let Some(call) = self.call {
            // SAFETY: the C side gave this function for this context.
            unsafe { call(self.context.0, is_ok, payload) };
            std::hint::black_box(());
        }
    }
}

impl<F: Copy> Drop for OwnedClosure<F> {
    #[inline(never)]
    fn drop(&mut self) {
        if let Some(drop_fn) = self.drop.take() {
            // SAFETY: the C side gave this function for this context and expects one call.
            unsafe { drop_fn(self.context.0) };
            std::hint::black_box(());
        }
    }
}

/// Takes over the caller's closure and empties the caller's copy. A null pointer gives `None`
/// (there is nothing to drop then).
pub(crate) unsafe fn take_closure<F: Copy>(
    closure: *mut ClosureParts<F>,
) -> Option<OwnedClosure<F>> {
    // SAFETY: a non-null closure pointer is readable and writable.
    let closure = unsafe { closure.as_mut() }?;
    let owned = OwnedClosure {
        context: Context(closure.context),
        call: closure.call.take(),
        drop: closure.drop.take(),
    };
    closure.context = std::ptr::null_mut();
    Some(owned)
}

/// Opaque context pointer handed back to the C side; Zenoh's threads carry it around.
#[derive(Clone, Copy)]
pub(crate) struct Context(pub *mut c_void);
// SAFETY: the C side promises that its context may be used from any thread.
unsafe impl Send for Context {}
unsafe impl Sync for Context {}
