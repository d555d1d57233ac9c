//! Owned payloads (`zb_bytes_t` is a `ZBytes`). Payloads handed to callbacks are borrowed from
//! Zenoh's sample or reply and valid only during the call; owned ones come from
//! `zb_bytes_copy_from_buf` or `zb_serializer_finish` and are released with `zb_bytes_drop`.

use std::ptr;

use zenoh::bytes::ZBytes;

use crate::result::*;

#[allow(non_camel_case_types)]
pub type zb_bytes_t = ZBytes;

/// Copies `len` bytes from `data` into a new owned payload. `data` may be null when `len` is 0.
#[no_mangle]
pub unsafe extern "C" fn zb_bytes_copy_from_buf(
    data: *const u8,
    len: usize,
    out: *mut *mut zb_bytes_t,
) -> zb_result_t {
    guard(|| {
        let Some(raw) = (unsafe { slice_from_c(data, len) }) else {
            return ZB_ENULL;
        };
        if out.is_null() {
            return ZB_ENULL;
        }
        let bytes = if raw.is_empty() {
            ZBytes::new()
        } else {
            ZBytes::from(raw.to_vec())
        };
        unsafe { write_out(out, Box::into_raw(Box::new(bytes))) };
        ZB_OK
    })
}

/// Total number of bytes in the payload.
#[no_mangle]
pub unsafe extern "C" fn zb_bytes_len(bytes: *const zb_bytes_t, out: *mut usize) -> zb_result_t {
    guard(|| {
        // SAFETY: a non-null `bytes` points to a live payload.
        let Some(bytes) = (unsafe { bytes.as_ref() }) else {
            return ZB_ENULL;
        };
        if out.is_null() {
            return ZB_ENULL;
        }
        unsafe { write_out(out, bytes.len()) };
        ZB_OK
    })
}

/// Gives the payload's bytes without copying when they are stored in one piece (an empty payload
/// gives a null pointer and 0). Returns `ZB_EUNAVAILABLE` for a fragmented payload: use
/// `zb_bytes_to_buf` then. The view lives as long as the payload.
#[no_mangle]
pub unsafe extern "C" fn zb_bytes_get_contiguous_view(
    bytes: *const zb_bytes_t,
    data: *mut *const u8,
    len: *mut usize,
) -> zb_result_t {
    guard(|| {
        let Some(bytes) = (unsafe { bytes.as_ref() }) else {
            return ZB_ENULL;
        };
        if data.is_null() || len.is_null() {
            return ZB_ENULL;
        }
        let mut slices = bytes.slices();
        let (view_data, view_len) = match (slices.next(), slices.next()) {
            (None, _) => (ptr::null(), 0),
            (Some(only), None) => (only.as_ptr(), only.len()),
            (Some(_), Some(_)) => return ZB_EUNAVAILABLE,
        };
        unsafe {
            write_out(data, view_data);
            write_out(len, view_len);
        }
        ZB_OK
    })
}

/// Copies the whole payload into `dst` (capacity `capacity`) and stores the count in `written`.
/// Fails with `ZB_EINVAL`, copying nothing, when the payload does not fit.
#[no_mangle]
pub unsafe extern "C" fn zb_bytes_to_buf(
    bytes: *const zb_bytes_t,
    dst: *mut u8,
    capacity: usize,
    written: *mut usize,
) -> zb_result_t {
    guard(|| {
        let Some(bytes) = (unsafe { bytes.as_ref() }) else {
            return ZB_ENULL;
        };
        if written.is_null() || (dst.is_null() && capacity != 0) {
            return ZB_ENULL;
        }
        let total = bytes.len();
        if total > capacity {
            return ZB_EINVAL;
        }
        let mut offset = 0;
        for slice in bytes.slices() {
            // SAFETY: `dst` has room for `capacity >= total` bytes; the regions do not overlap.
            unsafe { ptr::copy_nonoverlapping(slice.as_ptr(), dst.add(offset), slice.len()) };
            offset += slice.len();
        }
        unsafe { write_out(written, offset) };
        ZB_OK
    })
}

/// Releases an owned payload. Null is accepted and ignored.
#[no_mangle]
pub unsafe extern "C" fn zb_bytes_drop(bytes: *mut zb_bytes_t) -> zb_result_t {
    guard(|| {
        if !bytes.is_null() {
            // SAFETY: owned payloads are boxed by this crate and dropped once by the caller.
            drop(unsafe { Box::from_raw(bytes) });
        }
        ZB_OK
    })
}

/// Takes over an owned payload passed by pointer-to-handle and nulls the caller's handle.
pub(crate) unsafe fn take_bytes(handle: *mut *mut zb_bytes_t) -> Option<ZBytes> {
    if handle.is_null() {
        return None;
    }
    // SAFETY: a non-null handle pointer is readable and writable.
    let raw = unsafe { handle.replace(ptr::null_mut()) };
    if raw.is_null() {
        None
    } else {
        Some(*unsafe { Box::from_raw(raw) })
    }
}
