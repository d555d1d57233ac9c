//! Result codes shared by every exported function, with the values zenoh-c gives them, and the
//! guard that keeps panics on the Rust side of the boundary.

use std::panic::{catch_unwind, AssertUnwindSafe};

/// Result of every exported function: 0 on success, a negative code otherwise.
#[allow(non_camel_case_types)]
pub type zb_result_t = i8;

pub const ZB_OK: zb_result_t = 0;
pub const ZB_EINVAL: zb_result_t = -1;
pub const ZB_EPARSE: zb_result_t = -2;
pub const ZB_EIO: zb_result_t = -3;
pub const ZB_ENETWORK: zb_result_t = -4;
pub const ZB_ENULL: zb_result_t = -5;
pub const ZB_EUNAVAILABLE: zb_result_t = -6;
pub const ZB_EDESERIALIZE: zb_result_t = -7;
pub const ZB_ESESSION_CLOSED: zb_result_t = -8;
pub const ZB_EUTF8: zb_result_t = -9;
pub const ZB_EGENERIC: zb_result_t = i8::MIN;

/// Runs the body of an exported function. A panic never unwinds into C: it is caught here and
/// reported as the generic error. Values owned by the body (closures handed over by the caller
/// included) are dropped during the unwinding, so their drop callbacks still run once.
pub(crate) fn guard<F: FnOnce() -> zb_result_t>(body: F) -> zb_result_t {
    catch_unwind(AssertUnwindSafe(body)).unwrap_or(ZB_EGENERIC)
}

/// Writes `value` through `out`; the caller has checked `out` for null.
pub(crate) unsafe fn write_out<T>(out: *mut T, value: T) {
    // SAFETY: upheld by the caller (non-null, aligned, writable).
    unsafe { out.write(value) }
}

/// The `len` bytes at `data` as a slice; `data` may be null only when `len` is 0. `None` for a
/// null pointer with a non-zero length, which callers report as `ZB_ENULL`.
pub(crate) unsafe fn slice_from_c<'a>(data: *const u8, len: usize) -> Option<&'a [u8]> {
    if len == 0 {
        Some(&[])
    } else if data.is_null() {
        None
    } else {
        // SAFETY: the caller gives `len` readable bytes at a non-null `data`, alive for `'a`.
        Some(unsafe { std::slice::from_raw_parts(data, len) })
    }
}
