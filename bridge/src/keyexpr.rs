//! Key expressions built from text with auto-canonisation.

use zenoh::key_expr::KeyExpr;

use crate::result::*;

#[allow(non_camel_case_types)]
pub type zb_keyexpr_t = KeyExpr<'static>;

/// Builds a key expression from `len` bytes at `expr` (no terminating zero needed), rewriting it
/// into canonical form first. `ZB_EPARSE` for text that is not UTF-8, `ZB_EINVAL` for text that
/// is no valid key expression even after canonisation.
#[no_mangle]
pub unsafe extern "C" fn zb_keyexpr_from_substr_autocanonize(
    expr: *const u8,
    len: usize,
    out: *mut *mut zb_keyexpr_t,
) -> zb_result_t {
    guard(|| {
        let Some(raw) = (unsafe { slice_from_c(expr, len) }) else {
            return ZB_ENULL;
        };
        if out.is_null() {
            return ZB_ENULL;
        }
        let Ok(text) = std::str::from_utf8(raw) else {
            return ZB_EPARSE;
        };
        match KeyExpr::autocanonize(text.to_owned()) {
            Ok(key_expr) => {
                unsafe { write_out(out, Box::into_raw(Box::new(key_expr))) };
                ZB_OK
            }
            Err(_) => ZB_EINVAL,
        }
    })
}

/// The canonical text of the key expression (not zero-terminated), valid while it lives.
#[no_mangle]
pub unsafe extern "C" fn zb_keyexpr_as_view(
    key_expr: *const zb_keyexpr_t,
    data: *mut *const u8,
    len: *mut usize,
) -> zb_result_t {
    guard(|| {
        let Some(key_expr) = (unsafe { key_expr.as_ref() }) else {
            return ZB_ENULL;
        };
        if data.is_null() || len.is_null() {
            return ZB_ENULL;
        }
        let text = key_expr.as_str();
        unsafe {
            write_out(data, text.as_ptr());
            write_out(len, text.len());
        }
        ZB_OK
    })
}

/// Releases a key expression. Null is ignored.
#[no_mangle]
pub unsafe extern "C" fn zb_keyexpr_drop(key_expr: *mut zb_keyexpr_t) -> zb_result_t {
    guard(|| {
        if !key_expr.is_null() {
            // SAFETY: key expressions are boxed by this crate and dropped once by the caller.
            drop(unsafe { Box::from_raw(key_expr) });
        }
        ZB_OK
    })
}
